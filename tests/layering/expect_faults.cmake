# Runs the layering check on a tree and passes when it fails with exactly
# the faults listed in EXPECTED, one a line, in any order: a fault missed
# and an include taken wrongly for one both show.
# cmake -DCHECK=<check_layers.cmake> -DSOURCE_DIR=<tree> -DLAYER_MAP=<file> -DEXPECTED=<file> -P expect_faults.cmake
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${SOURCE_DIR} -DLAYER_MAP=${LAYER_MAP} -P ${CHECK}
  RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
if(_rc EQUAL 0)
  message(FATAL_ERROR "the check passed a tree that breaks the map:\n${_out}${_err}")
endif()

string(REPLACE "\n" ";" _lines "${_err}")
set(_found "")
foreach(_line IN LISTS _lines)
  if(_line MATCHES "^[ \t]*([^ \t].* includes .*: .* may include .*)$")
    list(APPEND _found "${CMAKE_MATCH_1}")
  endif()
endforeach()
file(STRINGS ${EXPECTED} _expected)

set(_missed "${_expected}")
set(_extra "${_found}")
if(_found)
  list(REMOVE_ITEM _missed ${_found})
endif()
if(_expected)
  list(REMOVE_ITEM _extra ${_expected})
endif()
if(_missed OR _extra)
  string(REPLACE ";" "\n  " _missed "${_missed}")
  string(REPLACE ";" "\n  " _extra "${_extra}")
  message(FATAL_ERROR "not found:\n  ${_missed}\nfound but not expected:\n  ${_extra}\nthe check said:\n${_err}")
endif()
list(LENGTH _found _n)
message(STATUS "the check found the ${_n} faults of the tree")
