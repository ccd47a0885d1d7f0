# Windows tests that need more of Windows than one platform call at a time: the guard against a
# second process, the file digest and the exact tree check, all on the real Win32 platform under
# Wine. Included from tests/CMakeLists.txt, so the tests live in the tests/ directory scope.

add_executable(veltomarn_win32_guard_process_tests ${CMAKE_CURRENT_LIST_DIR}/guard_process_test.cpp)
# The program has a main of its own: started with --foreign it is the hostile second process.
target_link_libraries(veltomarn_win32_guard_process_tests PRIVATE veltomarn_platform_win32
                      GTest::gtest)
target_compile_definitions(veltomarn_win32_guard_process_tests PRIVATE UNICODE _UNICODE
                           WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)
veltomarn_add_wine_test(win32.guard_process veltomarn_win32_guard_process_tests)
