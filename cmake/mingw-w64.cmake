# SPDX-License-Identifier: GPL-2.0-or-later
# Cross build for Windows x64 with Debian's MinGW-w64 (make windows).
#
# The posix thread model compiler: GoogleTest needs std::mutex, which the
# win32 model's g++ 12 lacks, and one compiler serves the library, the
# command and the tests alike. Programs built here run under wine64
# (CMAKE_CROSSCOMPILING_EMULATOR), which is how CTest runs the suite.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KVMORVEL_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KVMORVEL_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KVMORVEL_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${KVMORVEL_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KVMORVEL_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/windows/wine-run.sh)
