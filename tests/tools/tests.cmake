# The release tool as its users run it: the veltomarn-release binary on scratch directories.
add_executable(veltomarn_tool_tests ${CMAKE_CURRENT_LIST_DIR}/release_tool_test.cpp
                                   ${CMAKE_CURRENT_LIST_DIR}/authenticode_test.cpp
                                   ${PROJECT_SOURCE_DIR}/tests/support/host_support.cpp)
target_link_libraries(veltomarn_tool_tests PRIVATE veltomarn_release_tool GTest::gtest_main)
target_include_directories(veltomarn_tool_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
# The binary under test and the test keys (the build's default key inputs).
target_compile_definitions(veltomarn_tool_tests PRIVATE
                           VELTOMARN_RELEASE_TOOL="$<TARGET_FILE:veltomarn-release>"
                           VELTOMARN_TEST_KEYS_DIR="${PROJECT_SOURCE_DIR}/keys/test")
add_dependencies(veltomarn_tool_tests veltomarn-release)
add_test(NAME tool.release COMMAND veltomarn_tool_tests)
