# Native tests of the pure functions over bytes: paths, numbers, the inventory, the payload index,
# the CNG public key blob, decimal text, the inner launcher's environment and command line.
add_executable(veltomarn_unit_tests
               ${CMAKE_CURRENT_LIST_DIR}/core/relative_path_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/core/canonical_number_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/distribution/release_inventory_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/payload/payload_format_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/platform/rsa_key_blob_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/bootstrap/decimal_text_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/launch/launch_test.cpp)
target_include_directories(veltomarn_unit_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(veltomarn_unit_tests PRIVATE veltomarn_core veltomarn_distribution veltomarn_payload
                      veltomarn_bootstrap veltomarn_launch GTest::gtest_main)
add_test(NAME unit COMMAND veltomarn_unit_tests)
