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
  file(GLOB _srcs CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cc ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  if(_srcs)
    add_library(${ARG_NAME} STATIC ${_srcs})
    target_include_directories(${ARG_NAME} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                                  $<INSTALL_INTERFACE:${TL_INSTALL_INCLUDEDIR}>)
    target_link_libraries(${ARG_NAME} PUBLIC ${ARG_DEPS})
    target_compile_options(${ARG_NAME} PRIVATE ${TL_WARNINGS})
  else()
    add_library(${ARG_NAME} INTERFACE)
    target_include_directories(${ARG_NAME} INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                                     $<INSTALL_INTERFACE:${TL_INSTALL_INCLUDEDIR}>)
    target_link_libraries(${ARG_NAME} INTERFACE ${ARG_DEPS})
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
  # Each test carries its executable's name as a label, so a run can pick or
  # leave out whole folders (ctest -L / -LE). NO_PRETTY_VALUES keeps a
  # parameter's printed bytes (which hold pointers) out of the test names.
  gtest_discover_tests(${ARG_NAME} DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
                       PROPERTIES ENVIRONMENT "TZ=UTC" LABELS "${ARG_NAME}")
endfunction()
