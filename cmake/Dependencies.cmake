# SPDX-License-Identifier: GPL-3.0-or-later
# libobs as an imported target and where libvosk is, for the native build and the mingw cross build alike.

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
# Not linked: the plug-in loads it at run time from its own folder (src/recognition/vosk-library.cpp).

if(WIN32)
  # No Windows libobs here: Debian's headers (they compile under mingw) and an import library
  # for obs.dll made from the list of the functions we call. /usr/include itself must stay off
  # the include path, so simde gets a folder of its own.
  set(BRISVANE_OBS_INCLUDE_DIR "/usr/include/obs" CACHE PATH "libobs headers")
  set(BRISVANE_SIMDE_DIR "/usr/include/simde" CACHE PATH "simde headers used by libobs")
  set(obs_simde_root "${CMAKE_BINARY_DIR}/obs-simde")
  file(MAKE_DIRECTORY "${obs_simde_root}")
  file(CREATE_LINK "${BRISVANE_SIMDE_DIR}" "${obs_simde_root}/simde" SYMBOLIC)
  set(BRISVANE_OBS_DEF "${PROJECT_SOURCE_DIR}/win/obs.def" CACHE INTERNAL "")
  set(obs_implib "${CMAKE_BINARY_DIR}/libobs.dll.a")
  add_custom_command(OUTPUT "${obs_implib}"
    COMMAND ${CMAKE_DLLTOOL} --input-def "${BRISVANE_OBS_DEF}" --dllname obs.dll --output-lib "${obs_implib}"
    DEPENDS "${BRISVANE_OBS_DEF}" VERBATIM)
  add_custom_target(brisvane_obs_implib DEPENDS "${obs_implib}")
  add_library(OBS::libobs SHARED IMPORTED GLOBAL)
  set_target_properties(OBS::libobs PROPERTIES IMPORTED_IMPLIB "${obs_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${BRISVANE_OBS_INCLUDE_DIR};${obs_simde_root}"
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${BRISVANE_OBS_INCLUDE_DIR};${obs_simde_root}")
  add_dependencies(OBS::libobs brisvane_obs_implib)
  # blog's format attribute means the old msvcrt's printf to mingw, which lacks %zu and the
  # like; OBS's own C runtime has them. The native build checks every format string.
  list(APPEND BRISVANE_WARNINGS -Wno-format)
else()
  find_package(libobs REQUIRED)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
  pkg_check_modules(CANBERRA REQUIRED IMPORTED_TARGET libcanberra)
  find_package(Threads REQUIRED)
endif()
