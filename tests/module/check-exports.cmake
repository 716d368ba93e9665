# SPDX-License-Identifier: GPL-3.0-or-later
# Fails unless the module's dynamic symbol table defines exactly the seven module functions,
# or when it names libcanberra among the libraries it needs.
execute_process(COMMAND nm -D --defined-only "${MODULE}" OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${MODULE}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(names "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND names "${name}")
endforeach()
list(SORT names)
set(expected obs_module_free_locale obs_module_get_string obs_module_load obs_module_set_locale
             obs_module_set_pointer obs_module_unload obs_module_ver)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exports are\n  ${names}\nexpected\n  ${expected}")
endif()
message(STATUS "exports: ${names}")

# libcanberra is opened when a sound plays: a system without it must still load the module.
execute_process(COMMAND readelf -d "${MODULE}" OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR dynamic MATCHES "NEEDED[^\n]*libcanberra")
  message(FATAL_ERROR "the module needs libcanberra (or readelf failed):\n${dynamic}")
endif()
