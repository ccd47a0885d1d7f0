# The real VeltoMarnLauncher.exe under Wine, on copies of the fixture package changed one way each.
add_executable(veltomarn_package_e2e_tests ${CMAKE_CURRENT_LIST_DIR}/package_e2e_test.cpp
                                           ${PROJECT_SOURCE_DIR}/tests/support/host_support.cpp)
target_link_libraries(veltomarn_package_e2e_tests PRIVATE veltomarn_core GTest::gtest_main)
# Its table's rows name only the fields they set. GCC 12's optimiser also warns about a maybe
# uninitialised std::function inside <regex>'s own automaton code, not in this file's.
target_compile_options(veltomarn_package_e2e_tests PRIVATE -Wno-missing-field-initializers
                       -Wno-maybe-uninitialized)
target_include_directories(veltomarn_package_e2e_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_compile_definitions(veltomarn_package_e2e_tests PRIVATE
                           VELTOMARN_RELEASE_TOOL="$<TARGET_FILE:veltomarn-release>"
                           VELTOMARN_TEST_KEYS_DIR="${PROJECT_SOURCE_DIR}/keys/test"
                           VELTOMARN_FIXTURE_DIR="${VELTOMARN_WINDOWS_BUILD_DIR}/fixture"
                           VELTOMARN_PLANTED_DLL="${VELTOMARN_WINDOWS_BUILD_DIR}/tests/bcrypt.dll"
                           VELTOMARN_CONSOLE_PROBE="${VELTOMARN_WINDOWS_BUILD_DIR}/tests/probe-console/VeltoMarnLauncher.exe")
add_dependencies(veltomarn_package_e2e_tests veltomarn-release)
add_test(NAME e2e.package COMMAND veltomarn_package_e2e_tests --gtest_filter=-ProgressWindowTest.*)
veltomarn_wine_test_properties(${VELTOMARN_WINDOWS_BUILD_DIR} e2e.package)
set_tests_properties(e2e.package PROPERTIES FIXTURES_REQUIRED "wine;package")
# With an X server of its own and a Wine prefix and session of its own, which the test starts cold
# and stops.
add_test(NAME e2e.window
         COMMAND xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp"
                 $<TARGET_FILE:veltomarn_package_e2e_tests> --gtest_filter=ProgressWindowTest.*)
set_tests_properties(e2e.window PROPERTIES
  ENVIRONMENT "${VELTOMARN_WINE_ENVIRONMENT};WINEPREFIX=${VELTOMARN_WINDOWS_BUILD_DIR}/wineprefix-display"
  FIXTURES_REQUIRED package TIMEOUT 600)
