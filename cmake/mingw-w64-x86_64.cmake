# Cross-builds for 64-bit Windows with Debian's mingw-w64. The -posix compilers are the
# ones whose libstdc++ has std::thread and std::mutex (on winpthreads); the -win32 ones
# have neither.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PELLDOR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PELLDOR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELLDOR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PELLDOR_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PELLDOR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine, through a wrapper that keeps Wine's state out of ~/.wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine.sh;run)
