# The README's engine examples, built and run as a consumer copies them:
# installs the build into a temporary prefix and builds every C++ block that
# follows a "<!-- readme-engine NAME -->" line of README.md, taken as it
# stands, as the program NAME with the README's CMake lines (find_package,
# link tembrolexin::tembrolexin, nothing else). Each program then runs in a
# folder of its own and must end by itself with status 0, without a Warning
# or Error line ("WRN: ", "ERR: ") of the library and without leaving a file
# there.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DGENERATOR=... [-DFLAGS=...]
#         -P install_readme_engines.cmake
cmake_minimum_required(VERSION 3.25)
string(RANDOM LENGTH 8 _tag)
set(WORK /tmp/tl_readme_engines_${_tag})
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/app)

include(${CMAKE_CURRENT_LIST_DIR}/install_common.cmake)

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK}/prefix)

file(READ ${SOURCE_DIR}/README.md _readme)
string(CONCAT _lists "cmake_minimum_required(VERSION 3.25)\nproject(readme_engines LANGUAGES CXX)\n"
       "find_package(tembrolexin REQUIRED)\n")
set(_names "")
set(_marker "<!-- readme-engine ")
while(TRUE)
  string(FIND "${_readme}" "${_marker}" _at)
  if(_at EQUAL -1)
    break()
  endif()
  string(SUBSTRING "${_readme}" ${_at} -1 _readme)
  string(REGEX MATCH "^<!-- readme-engine ([a-z0-9-]+) -->\n```cpp\n" _head "${_readme}")
  if(NOT _head)
    string(SUBSTRING "${_readme}" 0 60 _line)
    fail("README.md: a readme-engine marker without a C++ block right after it: ${_line}")
  endif()
  set(_name ${CMAKE_MATCH_1})
  string(LENGTH "${_head}" _skip)
  string(SUBSTRING "${_readme}" ${_skip} -1 _readme)
  string(FIND "${_readme}" "\n```\n" _end)
  string(SUBSTRING "${_readme}" 0 ${_end} _code)
  file(WRITE ${WORK}/app/${_name}.cpp "${_code}\n")
  string(APPEND _lists "add_executable(${_name} ${_name}.cpp)\n"
         "target_link_libraries(${_name} PRIVATE tembrolexin::tembrolexin)\n")
  list(APPEND _names ${_name})
endwhile()
# One example per engine the README documents this way.
foreach(_expected event event2-heartbeat content plugin)
  if(NOT _expected IN_LIST _names)
    fail("README.md shows no example \"${_expected}\" (found: ${_names})")
  endif()
endforeach()
file(WRITE ${WORK}/app/CMakeLists.txt "${_lists}")
run(${CMAKE_COMMAND} -S ${WORK}/app -B ${WORK}/app/build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${WORK}/prefix -DCMAKE_BUILD_TYPE=RelWithDebInfo
    "-DCMAKE_CXX_FLAGS=${FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK}/app/build)
foreach(_name ${_names})
  file(MAKE_DIRECTORY ${WORK}/run/${_name})
  execute_process(COMMAND ${WORK}/app/build/${_name} WORKING_DIRECTORY ${WORK}/run/${_name}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  if(NOT rc EQUAL 0 OR "\n${out}\n${err}" MATCHES "\n(WRN|ERR): ")
    fail("the README's example ${_name} ended with ${rc} or complained:\n${out}\n${err}")
  endif()
  # Without the app's PlatformEnvironment the library writes nothing.
  file(GLOB _left ${WORK}/run/${_name}/*)
  if(_left)
    fail("the README's example ${_name} left files in its working folder: ${_left}")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
