# SPDX-License-Identifier: GPL-3.0-or-later
# libobs and libvosk as imported targets, for the native build and the mingw cross build alike.

if(WIN32)
  set(BRISVANE_VOSK_PLATFORM win-x86_64)
  set(BRISVANE_VOSK_FILE libvosk.dll)
else()
  set(BRISVANE_VOSK_PLATFORM linux-x86_64)
  set(BRISVANE_VOSK_FILE libvosk.so)
endif()
set(BRISVANE_VOSK_DIR "${VOSK_ROOT}/lib/${BRISVANE_VOSK_PLATFORM}")
if(NOT EXISTS "${BRISVANE_VOSK_DIR}/${BRISVANE_VOSK_FILE}")
  message(FATAL_ERROR "libvosk not found in ${BRISVANE_VOSK_DIR}; run scripts/setup")
endif()
add_library(Vosk::vosk SHARED IMPORTED GLOBAL)
if(WIN32)
  # mingw links straight against the DLL.
  set_target_properties(Vosk::vosk PROPERTIES IMPORTED_LOCATION "${BRISVANE_VOSK_DIR}/libvosk.dll"
                                              IMPORTED_IMPLIB "${BRISVANE_VOSK_DIR}/libvosk.dll")
else()
  set_target_properties(Vosk::vosk PROPERTIES IMPORTED_LOCATION "${BRISVANE_VOSK_DIR}/libvosk.so"
                                              IMPORTED_NO_SONAME TRUE)
endif()

if(NOT WIN32)
  find_package(libobs REQUIRED)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
  pkg_check_modules(CANBERRA REQUIRED IMPORTED_TARGET libcanberra)
  find_package(Threads REQUIRED)
endif()
