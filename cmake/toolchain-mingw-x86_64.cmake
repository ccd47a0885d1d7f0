# Cross-compiles the Windows build with mingw-w64 (posix threads, static runtime)
# and runs its programs under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VELTOMARN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELTOMARN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELTOMARN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VELTOMARN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELTOMARN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# A prefix named in CMAKE_PREFIX_PATH (an installed VeltoMarnInner package) is a root of its own:
# searched where it is, not below the mingw-w64 root.
list(APPEND CMAKE_FIND_ROOT_PATH ${CMAKE_PREFIX_PATH})

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(VELTOMARN_WINE NAMES wine wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELTOMARN_WINE})
