# tl_component(NAME <target> DEPS <targets...>)
#
# One library target per subsystem folder. Headers are found from the source
# root in the build tree and from ${TL_INSTALL_INCLUDEDIR} once installed. Sources are every *.cc / *.c file in
# the folder (not recursive), so adding a file needs no CMake edit. A folder
# without sources yet yields an INTERFACE target so dependants still link.
function(tl_component)
  cmake_parse_arguments(ARG "" "NAME" "DEPS" ${ARGN})
  # Every component is installed and exported (cmake/Install.cmake).
  set_property(GLOBAL APPEND PROPERTY TL_LIBRARY_TARGETS ${ARG_NAME})
  # For tl_check_layers.
  file(RELATIVE_PATH _folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set_property(GLOBAL PROPERTY TL_FOLDER_${ARG_NAME} ${_folder})
  set_property(GLOBAL PROPERTY TL_DEPS_${ARG_NAME} ${ARG_DEPS})
  file(GLOB _srcs CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cc ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  if(_srcs)
    add_library(${ARG_NAME} STATIC ${_srcs})
    target_include_directories(${ARG_NAME} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                                  $<INSTALL_INTERFACE:${TL_INSTALL_INCLUDEDIR}>)
    target_link_libraries(${ARG_NAME} PUBLIC ${ARG_DEPS})
    # The headers use concepts and requires-clauses: whoever includes them,
    # an app through the installed package as well, compiles as C++20.
    target_compile_features(${ARG_NAME} PUBLIC cxx_std_20)
    target_compile_options(${ARG_NAME} PRIVATE ${TL_WARNINGS})
  else()
    add_library(${ARG_NAME} INTERFACE)
    target_include_directories(${ARG_NAME} INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                                     $<INSTALL_INTERFACE:${TL_INSTALL_INCLUDEDIR}>)
    target_link_libraries(${ARG_NAME} INTERFACE ${ARG_DEPS})
    target_compile_features(${ARG_NAME} INTERFACE cxx_std_20)
  endif()
endfunction()

# The schema library is made from generated sources, not by tl_component;
# its folder is known here for the walks below.
set_property(GLOBAL PROPERTY TL_FOLDER_tl_schema schema)

# tl_linked_components(<component> <out-var>)
#
# The project's components that <component> links, directly or through
# them (each once; targets that are not components, such as the
# dependencies' imported ones, are neither listed nor followed).
function(tl_linked_components component out)
  set(_linked "")
  get_property(_pending GLOBAL PROPERTY TL_DEPS_${component})
  while(_pending)
    list(POP_FRONT _pending _dep)
    if(_dep IN_LIST _linked)
      continue()
    endif()
    get_property(_dep_folder GLOBAL PROPERTY TL_FOLDER_${_dep})
    if(_dep_folder)
      list(APPEND _linked ${_dep})
      get_property(_more GLOBAL PROPERTY TL_DEPS_${_dep})
      list(APPEND _pending ${_more})
    endif()
  endwhile()
  set(${out} ${_linked} PARENT_SCOPE)
endfunction()

# tl_check_layers()
#
# Called once every component exists. A component may include headers of its
# own folder and of the folders of the components it links, directly or
# through them, and of nothing else: every component gets a build step that
# scans its folder's includes (cmake/CheckLayers.cmake) and fails the build on
# any other project header. So the arrows of docs/architecture.md hold, and a
# folder can never include one above it.
function(tl_check_layers)
  get_property(_components GLOBAL PROPERTY TL_LIBRARY_TARGETS)
  foreach(_component ${_components})
    get_property(_folder GLOBAL PROPERTY TL_FOLDER_${_component})
    # The folders of everything the component links, transitively.
    set(_allowed "")
    tl_linked_components(${_component} _linked)
    foreach(_dep ${_linked})
      get_property(_dep_folder GLOBAL PROPERTY TL_FOLDER_${_dep})
      list(APPEND _allowed ${_dep_folder})
    endforeach()
    file(GLOB _sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${_folder}/*.h
         ${PROJECT_SOURCE_DIR}/${_folder}/*.cc ${PROJECT_SOURCE_DIR}/${_folder}/*.c)
    set(_stamp ${CMAKE_BINARY_DIR}/layers/${_component}.checked)
    string(REPLACE ";" "," _allowed_arg "${_allowed}")
    add_custom_command(
      OUTPUT ${_stamp}
      COMMAND ${CMAKE_COMMAND} -DFOLDER=${_folder} -DALLOWED=${_allowed_arg}
              -DROOT=${PROJECT_SOURCE_DIR} -DSTAMP=${_stamp}
              -P ${PROJECT_SOURCE_DIR}/cmake/CheckLayers.cmake
      DEPENDS ${_sources} ${PROJECT_SOURCE_DIR}/cmake/CheckLayers.cmake
      COMMENT "Checking the includes of ${_folder}"
      VERBATIM)
    add_custom_target(${_component}_layers DEPENDS ${_stamp})
    add_dependencies(${_component} ${_component}_layers)
  endforeach()
endfunction()

# tl_library_pch()
#
# The headers most library files include (the standard library, Thrift and
# JsonCpp), precompiled once for every library built from our sources: each
# component that links the schema reuses this target's precompiled header.
# GCC takes a precompiled header only from a compilation with the same
# flags, so this target is compiled as those components are (include
# folders, definitions, warnings, the build's sanitizer and optimisation
# options: it is made while the libraries' folder options apply); a
# component that does not fit (the decoding core and the test signal, which
# use none of these headers) keeps its plain compilation. The files still
# include what they use. Called once every component exists.
function(tl_library_pch)
  set(_src ${CMAKE_CURRENT_BINARY_DIR}/tl_library_pch.cc)
  file(CONFIGURE OUTPUT ${_src} CONTENT "// Holds the libraries' precompiled header.\n")
  add_library(tl_library_pch STATIC ${_src})
  target_include_directories(tl_library_pch PRIVATE ${PROJECT_SOURCE_DIR}
                                                    ${CMAKE_BINARY_DIR}/generated)
  target_link_libraries(tl_library_pch PRIVATE PkgConfig::THRIFT PkgConfig::JSONCPP Boost::headers)
  target_compile_options(tl_library_pch PRIVATE ${TL_WARNINGS})
  target_precompile_headers(tl_library_pch PRIVATE
      <json/json.h> <thrift/TBase.h> <thrift/protocol/TProtocol.h>
      <algorithm> <atomic> <chrono> <cmath> <condition_variable> <cstdint> <cstdio>
      <cstring> <exception> <functional> <map> <memory> <mutex> <optional> <set>
      <sstream> <stdexcept> <string> <thread> <utility> <vector>)
  get_property(_components GLOBAL PROPERTY TL_LIBRARY_TARGETS)
  foreach(_component tl_schema ${_components})
    get_target_property(_type ${_component} TYPE)
    if(NOT _type STREQUAL "STATIC_LIBRARY")
      continue()
    endif()
    # Only the components that link the schema (directly or through their
    # dependencies) are compiled with its flags.
    tl_linked_components(${_component} _linked)
    if(_component STREQUAL "tl_schema" OR "tl_schema" IN_LIST _linked)
      target_precompile_headers(${_component} REUSE_FROM tl_library_pch)
    endif()
  endforeach()
endfunction()

# tl_test_pch()
#
# The headers that nearly every test file includes (GoogleTest, GoogleMock,
# Thrift, JsonCpp and the standard library), precompiled once for all the
# test executables: each reuses this target's precompiled header
# (tl_test_compile_settings). GCC takes a precompiled header only from a
# compilation with the same flags, so this target is built as a test
# executable is: same libraries, warnings, definitions and settings. Called
# once, before any test folder.
function(tl_test_pch)
  set(_main ${CMAKE_CURRENT_BINARY_DIR}/tl_test_pch_main.cc)
  file(CONFIGURE OUTPUT ${_main} CONTENT "int main() { return 0; }\n")
  add_executable(tl_test_pch ${_main})
  target_link_libraries(tl_test_pch PRIVATE tl_test_support tl_runtime GTest::gmock GTest::gtest)
  target_compile_options(tl_test_pch PRIVATE ${TL_WARNINGS})
  target_compile_definitions(tl_test_pch PRIVATE
      TL_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data")
  tl_test_compile_settings(tl_test_pch)
  target_precompile_headers(tl_test_pch PRIVATE
      <gtest/gtest.h> <gmock/gmock.h> <json/json.h>
      <thrift/TBase.h> <thrift/protocol/TBinaryProtocol.h> <thrift/transport/TBufferTransports.h>
      <algorithm> <atomic> <chrono> <condition_variable> <cstdint> <cstring> <filesystem>
      <fstream> <functional> <future> <map> <memory> <mutex> <optional> <set> <sstream>
      <string> <thread> <vector>)
endfunction()

# tl_test_compile_settings(<target>)
#
# How every test executable is compiled, so that the three builds of the
# test script stay quick:
# - with the test headers precompiled by tl_test_pch (the files still
#   include what they use; the precompiled header only spares parsing those
#   headers again in every file);
# - optimised less than the libraries under test, which keep their -O2/-O3:
#   the tests' own code is most of what the builds compile. Release builds it
#   at -O0 (as Debug does; the suite runs no slower, as its time is spent in
#   the libraries); RelWithDebInfo, the ThreadSanitizer build, at -O1
#   (unoptimised code leaves more memory accesses to instrument and run).
function(tl_test_compile_settings target)
  target_compile_options(${target} PRIVATE $<$<CONFIG:Release,MinSizeRel>:-O0> $<$<CONFIG:RelWithDebInfo>:-O1>)
  if(TARGET tl_test_pch AND NOT target STREQUAL "tl_test_pch")
    target_precompile_headers(${target} REUSE_FROM tl_test_pch)
  endif()
endfunction()

# tl_test_folder(NAME <exe> DEPS <targets...>)
#
# One GoogleTest executable per test folder, built from every *_test.cc in it.
function(tl_test_folder)
  cmake_parse_arguments(ARG "" "NAME" "DEPS" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  if(NOT _srcs)
    return()
  endif()
  add_executable(${ARG_NAME} ${_srcs})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_DEPS} tl_test_support
                        GTest::gmock GTest::gtest GTest::gmock_main)
  target_compile_options(${ARG_NAME} PRIVATE ${TL_WARNINGS})
  target_compile_definitions(${ARG_NAME} PRIVATE
      TL_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data")
  tl_test_compile_settings(${ARG_NAME})
  # Each test carries its executable's name as a label, so a run can pick or
  # leave out whole folders (ctest -L / -LE). NO_PRETTY_VALUES keeps a
  # parameter's printed bytes (which hold pointers) out of the test names.
  gtest_discover_tests(${ARG_NAME} DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
                       PROPERTIES ENVIRONMENT "TZ=UTC" LABELS "${ARG_NAME}")
endfunction()
