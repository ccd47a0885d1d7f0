# Registers tests that run Windows programs under Wine.
#
# Every such test uses the Wine prefix of the Windows build tree, needs the "wine" fixture (the
# prefix initialised once, a persistent wineserver for the session, stopped afterwards) and holds
# the "wine" resource lock: Wine's server serialises the programs anyway, and parallel starts only
# add contention.

set(VELTOMARN_WINE_ENVIRONMENT
    "WINEDEBUG=-all"
    "WINEDLLOVERRIDES=mscoree,mshtml="
    "WINEARCH=win64")

# veltomarn_add_wine_test(<name> <target> [args...]): a Windows test program run under Wine, its
# output passed on through files (scripts/wine-run.sh).
function(veltomarn_add_wine_test name target)
  add_test(NAME ${name}
           COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh $<TARGET_FILE:${target}> ${ARGN}
           WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  veltomarn_wine_test_properties(${CMAKE_BINARY_DIR} ${name})
endfunction()

# veltomarn_wine_test_properties(<windows build dir> <test>...)
function(veltomarn_wine_test_properties windows_build_dir)
  set_tests_properties(${ARGN} PROPERTIES
    ENVIRONMENT "${VELTOMARN_WINE_ENVIRONMENT};WINEPREFIX=${windows_build_dir}/wineprefix;VELTOMARN_WINDOWS_BUILD_DIR=${windows_build_dir}"
    ENVIRONMENT_MODIFICATION "DISPLAY=unset:"
    FIXTURES_REQUIRED wine
    RESOURCE_LOCK wine
    # The longest of them takes about 85 s beside two busy CPUs here: a slower machine keeps
    # seven times that in hand.
    TIMEOUT 600)
endfunction()

# veltomarn_wine_fixture(<windows build dir>): the set-up and clean-up tests of the fixture.
function(veltomarn_wine_fixture windows_build_dir)
  set(session ${PROJECT_SOURCE_DIR}/scripts/wine-session.sh)
  add_test(NAME wine_session_start COMMAND ${session} start)
  add_test(NAME wine_session_stop COMMAND ${session} stop)
  set_tests_properties(wine_session_start wine_session_stop PROPERTIES
    ENVIRONMENT "${VELTOMARN_WINE_ENVIRONMENT};WINEPREFIX=${windows_build_dir}/wineprefix"
    ENVIRONMENT_MODIFICATION "DISPLAY=unset:"
    RESOURCE_LOCK wine
    TIMEOUT 180)
  set_tests_properties(wine_session_start PROPERTIES FIXTURES_SETUP wine)
  set_tests_properties(wine_session_stop PROPERTIES FIXTURES_CLEANUP wine)
endfunction()
