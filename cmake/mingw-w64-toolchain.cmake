# SPDX-License-Identifier: GPL-3.0-or-later
# Cross build of the Windows x86-64 DLL with Debian's mingw-w64. The -posix compilers carry
# std::thread and std::mutex; the win32 variant has neither.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(BRISVANE_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${BRISVANE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BRISVANE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${BRISVANE_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${BRISVANE_MINGW_PREFIX}-dlltool)

# Only the mingw sysroot: Debian's own libobs CMake package describes the Linux library.
set(CMAKE_FIND_ROOT_PATH /usr/${BRISVANE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# add_test runs the .exe files through wine, keeping their exit codes.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine-run)
