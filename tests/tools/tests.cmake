# Tests of the release tool and the Linux platform it checks packages through (host).
add_executable(veltomarn_tool_tests
  tools/file_install_test.cpp
  tools/package_pack_test.cpp
  tools/payload_seal_test.cpp
  tools/posix_platform_test.cpp
  tools/release_tool_test.cpp
  tools/tool_test_support.cpp
)
target_link_libraries(veltomarn_tool_tests PRIVATE veltomarn_release_tool veltomarn_test_support
                      GTest::gtest_main)
# The binary under test, an independent signer standing in for an HSM (empty: not found), and the
# payload key shares of this build, whose key the unsealing code in the tool and the tests holds.
target_compile_definitions(veltomarn_tool_tests PRIVATE
                           VELTOMARN_RELEASE_TOOL="$<TARGET_FILE:veltomarn-release>"
                           VELTOMARN_OPENSSL_COMMAND="${VELTOMARN_OPENSSL}"
                           VELTOMARN_BUILD_KEY_SHARES="${VELTOMARN_PAYLOAD_KEY}")
add_dependencies(veltomarn_tool_tests veltomarn-release)

# The Linux platform's own tests (every suite named Posix...) and the tool's.
add_test(NAME tool.platform COMMAND veltomarn_tool_tests --gtest_filter=*Posix*)
add_test(NAME tool.release COMMAND veltomarn_tool_tests --gtest_filter=-*Posix*)
