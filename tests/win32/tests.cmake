# The logic as the product runs it: Windows programs on the real Win32 platform under Wine, with
# the fault platform over it. They start from the package that the host tree's fixture.package
# test makes in this tree (fixture/).
add_executable(veltomarn_logic_tests
  ${CMAKE_CURRENT_LIST_DIR}/bootstrap_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cache_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/guarded_directory_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/unseal_test.cpp
)
target_include_directories(veltomarn_logic_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(veltomarn_logic_tests PRIVATE veltomarn_core veltomarn_distribution
                      veltomarn_payload veltomarn_cache veltomarn_bootstrap
                      veltomarn_platform_win32 GTest::gtest_main)
target_compile_definitions(veltomarn_logic_tests PRIVATE
  VELTOMARN_FIXTURE_DIR="${CMAKE_BINARY_DIR}/fixture")
veltomarn_add_wine_test(logic.win32 veltomarn_logic_tests)
set_tests_properties(logic.win32 PROPERTIES FIXTURES_REQUIRED "wine;package")

add_test(NAME build.executable
         COMMAND ${PROJECT_SOURCE_DIR}/tests/build/executable_test.sh ${CMAKE_OBJDUMP} ${CMAKE_RC_COMPILER}
                 $<TARGET_FILE:VeltoMarnLauncher> ${VELTOMARN_PAYLOAD_KEY} ${PROJECT_VERSION}
                 ${VELTOMARN_ALLOWED_IMPORTS})
add_test(NAME build.inner_sdk
         COMMAND ${PROJECT_SOURCE_DIR}/tests/build/inner_sdk_test.sh ${CMAKE_BINARY_DIR}
                 ${PROJECT_SOURCE_DIR} ${VELTOMARN_PAYLOAD_KEY})

# The bcrypt.dll that the end-to-end tests plant beside the bootstrap: it must never be loaded.
add_library(planted_bcrypt SHARED ${PROJECT_SOURCE_DIR}/tests/e2e/planted_bcrypt.c
                                  ${PROJECT_SOURCE_DIR}/tests/e2e/planted_bcrypt.def)
set_target_properties(planted_bcrypt PROPERTIES OUTPUT_NAME bcrypt PREFIX "")

# The inner launcher of the test package (tests/e2e/make_package.sh seals it).
# The same inner launcher as a GUI and as a console program: publishers ship both kinds.
foreach(kind windows console)
  set(target probe_launcher)
  set(directory probe)
  if(kind STREQUAL console)
    set(target probe_launcher_console)
    set(directory probe-console)
  endif()
  add_executable(${target} ${PROJECT_SOURCE_DIR}/tests/e2e/probe_launcher.cpp)
  target_link_options(${target} PRIVATE -municode -m${kind})
  target_link_libraries(${target} PRIVATE veltomarn_launch veltomarn_platform_win32)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME VeltoMarnLauncher
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/${directory})
endforeach()
