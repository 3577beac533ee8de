# cmake -DFOLDER=<folder> -DALLOWED=<folders> -DROOT=<source root> -DSTAMP=<file>
#        -P CheckLayers.cmake
#
# Fails when a source or header of FOLDER includes a header of a project
# folder ("core/x/", "platform/x/", "tools/x/", "schema/", "tests/") that is
# not FOLDER itself or one of ALLOWED (","-separated), i.e. a folder whose
# library FOLDER's library does not link. Fails too on any of the eight
# standard mutex and condition-variable types named anywhere in a file of the
# folder: the library's locks are those of core/runtime/checked_mutex.h,
# which the test builds check. Writes STAMP
# when all is well.
cmake_minimum_required(VERSION 3.25)
string(REPLACE "," ";" ALLOWED "${ALLOWED}")
file(GLOB _files ${ROOT}/${FOLDER}/*.h ${ROOT}/${FOLDER}/*.cc ${ROOT}/${FOLDER}/*.c)
set(_bad "")
set(_standard "")
foreach(_file ${_files})
  file(RELATIVE_PATH _rel ${ROOT} ${_file})
  if(NOT _rel MATCHES "^core/runtime/checked_mutex\\.")
    # Each of the standard library's mutex and condition-variable types,
    # wherever it stands on a line (a comment that names one is reworded).
    file(STRINGS ${_file} _uses REGEX
         "std::(recursive_|shared_|recursive_timed_|shared_timed_|timed_)?mutex([^_a-zA-Z0-9]|$)|std::condition_variable(_any)?([^_a-zA-Z0-9]|$)")
    foreach(_use IN LISTS _uses)
      string(STRIP "${_use}" _use)
      string(APPEND _standard "  ${_rel}: ${_use}\n")
    endforeach()
  endif()
  file(STRINGS ${_file} _lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(_line IN LISTS _lines)
    if(NOT _line MATCHES "\"((core|platform|tools)/[^/\"]+|schema|tests)/")
      continue()
    endif()
    set(_target ${CMAKE_MATCH_1})
    if(_target STREQUAL FOLDER OR _target IN_LIST ALLOWED)
      continue()
    endif()
    string(STRIP "${_line}" _line)
    string(APPEND _bad "  ${_rel}: ${_line}\n")
  endforeach()
endforeach()
if(_bad)
  message(FATAL_ERROR "${FOLDER} includes headers of folders its library does not link "
                      "(see docs/architecture.md, Layers):\n${_bad}")
endif()
if(_standard)
  message(FATAL_ERROR "${FOLDER} uses standard mutexes or condition variables; use "
                      "tembrolexin::Mutex, RecursiveMutex, SharedMutex and CondVar "
                      "(core/runtime/checked_mutex.h) instead:\n${_standard}")
endif()
file(WRITE ${STAMP} "")
