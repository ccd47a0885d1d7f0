# Native tests of the pure functions over bytes: paths, numbers, the inventory, the payload index
# and the compiled-in payload key.
add_executable(veltomarn_unit_tests
               ${CMAKE_CURRENT_LIST_DIR}/core/relative_path_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/core/canonical_number_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/distribution/release_inventory_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/payload/payload_format_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/payload/payload_key_test.cpp
               ${CMAKE_CURRENT_LIST_DIR}/bootstrap/decimal_text_test.cpp)
target_include_directories(veltomarn_unit_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
# The OpenSSL crypto part only wipes the key buffer of the payload key test.
target_link_libraries(veltomarn_unit_tests PRIVATE veltomarn_logic veltomarn_cng_openssl
                      GTest::gtest_main)
target_compile_definitions(veltomarn_unit_tests PRIVATE
                           VELTOMARN_PAYLOAD_KEY_FILE="${VELTOMARN_PAYLOAD_KEY}")
add_test(NAME unit COMMAND veltomarn_unit_tests)
