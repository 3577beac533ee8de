# The library as a consumer gets it, and the README's app built against it:
# installs the build into a temporary prefix, checks what the prefix holds
# (the tools in bin/, headers under include/tembrolexin only and every
# project include among them resolvable there, nothing of the test-signal
# library, no header of the bridge's inside), builds the app that README.md
# shows (the C++ block after "<!-- readme-app -->" with the CMake block after
# "<!-- readme-app-cmake -->", both taken as they stand: find_package and
# nothing else, so the package must carry C++20 itself), renders three words
# of station 4242 at 48 kHz with the installed tl_gen, and runs the app RUNS
# times with the installed scheme configuration, and once with a copy of it in
# a folder whose name holds a double quote, a backslash and a Latin-1 byte
# that is not UTF-8 (the app's descriptor value must carry all three as they
# are): each run prints every word and
# exits 0 by itself. Given a file it cannot read (text, missing), the app
# exits 1 by itself, naming the file and the reason; given a scheme
# configuration that does not open, it exits 1 with the decoder's failure,
# which names the key, the file and the reason.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DGENERATOR=... [-DFLAGS=...] [-DRUNS=20]
#         -P install_readme_app.cmake
# FLAGS are compile and link flags for the app (the sanitizers of the build).
if(NOT DEFINED RUNS)
  set(RUNS 20)
endif()
string(RANDOM LENGTH 8 _tag)
set(WORK /tmp/tl_readme_app_${_tag})
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

include(${CMAKE_CURRENT_LIST_DIR}/install_common.cmake)

# --- What the prefix holds ---------------------------------------------------
set(P ${WORK}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${P})
foreach(f bin/tl_decode bin/tl_gen lib/cmake/tembrolexin/tembrolexinConfig.cmake
          lib/pkgconfig/tembrolexin.pc include/tembrolexin/platform/api/tl_decoder.h
          include/tembrolexin/core/audio/audio_file_reader.h
          share/tembrolexin/scheme_t2_vtw.cfg)
  if(NOT EXISTS ${P}/${f})
    fail("not installed: ${f}")
  endif()
endforeach()
file(GLOB _top RELATIVE ${P}/include ${P}/include/*)
if(NOT _top STREQUAL "tembrolexin")
  fail("include/ holds more than the project folder: ${_top}")
endif()
file(GLOB _projectTop RELATIVE ${P}/include/tembrolexin ${P}/include/tembrolexin/*)
list(SORT _projectTop)
if(NOT _projectTop STREQUAL "core;platform;schema")
  fail("include/tembrolexin/ holds ${_projectTop}, not core, platform and schema")
endif()
file(GLOB_RECURSE _private RELATIVE ${P} ${P}/*_private*)
file(GLOB_RECURSE _signal RELATIVE ${P} ${P}/*testsignal* ${P}/*signal_generator*)
if(_private OR _signal)
  fail("installed but of no use to an app: ${_private} ${_signal}")
endif()
file(READ ${P}/lib/pkgconfig/tembrolexin.pc _pc)
file(GLOB _targets ${P}/lib/cmake/tembrolexin/*.cmake)
foreach(_file ${_targets})
  file(READ ${_file} _text)
  string(APPEND _pc "${_text}")
endforeach()
if(_pc MATCHES "tl_testsignal")
  fail("the package links the test-signal library")
endif()
# Every project header an installed header includes is installed too.
file(GLOB_RECURSE _headers ${P}/include/tembrolexin/*.h)
foreach(_header ${_headers})
  file(STRINGS ${_header} _includes REGEX "^#include \"")
  get_filename_component(_dir ${_header} DIRECTORY)
  foreach(_line ${_includes})
    string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" _inc "${_line}")
    if(NOT EXISTS ${P}/include/tembrolexin/${_inc} AND NOT EXISTS ${_dir}/${_inc})
      fail("${_header} includes ${_inc}, which is not installed")
    endif()
  endforeach()
endforeach()

# --- The README's app ----------------------------------------------------------
# Its source and its CMakeLists.txt, both as the README shows them. The
# package alone must make the app build: the lists set no language standard.
readme_block(readme-app cpp _app)
readme_block(readme-app-cmake cmake _lists)
if(_lists MATCHES "cxx_std|CXX_STANDARD|-std=")
  fail("the README's CMakeLists.txt sets the C++ standard itself:\n${_lists}")
endif()
file(WRITE ${WORK}/app/app.cpp "${_app}")
file(WRITE ${WORK}/app/CMakeLists.txt "${_lists}")
run(${CMAKE_COMMAND} -S ${WORK}/app -B ${WORK}/app/build -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${P} -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS=${FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK}/app/build)

# Words 700 to 702 of station 4242 (19-bit station, 21-bit counter) at 48 kHz
# in noise, with the installed generator.
set(_scheme ${P}/share/tembrolexin/scheme_t2_vtw.cfg)
set(_words "")
foreach(_counter 700 701 702)
  math(EXPR _word "(4242 << 21) | ${_counter}")
  list(APPEND _words ${_word})
endforeach()
run(${P}/bin/tl_gen --snr 10 --seed 5 --lead-in 1 --tail 1 --rate 48000 ${_scheme}
    ${WORK}/words.wav ${_words})

# hears(RUN SCHEME): the app, given SCHEME, prints every word and exits 0.
function(hears run scheme)
  file(REMOVE_RECURSE ${WORK}/data)
  execute_process(COMMAND ${WORK}/app/build/app "${scheme}" ${WORK}/words.wav ${WORK}/data
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
  if(NOT rc EQUAL 0)
    fail("${run}: the app ended with ${rc}\n${out}\n${err}")
  endif()
  foreach(_word ${_words})
    if(NOT out MATCHES "word ${_word}\n")
      fail("${run}: the app did not hear word ${_word}\n${out}\n${err}")
    endif()
  endforeach()
endfunction()

foreach(_run RANGE 1 ${RUNS})
  hears("run ${_run}" ${_scheme})
endforeach()

# A scheme path that is not JSON text as it stands (no blank: that would
# split the descriptor's "config"), with a Latin-1 "é" (byte 0xE9), which
# JsonCpp's default writer would re-encode. CMake's own file commands would
# turn the backslash into a slash: mkdir makes the folder.
string(ASCII 233 _latin1E)
set(_odd "${WORK}/\"quoted\"_back\\slash_lat${_latin1E}in")
run(mkdir "${_odd}")
file(COPY_FILE ${_scheme} "${_odd}/scheme_t2_vtw.cfg" RESULT _copied)
if(NOT _copied EQUAL 0)
  fail("cannot copy the scheme configuration into ${_odd}: ${_copied}")
endif()
hears("${_odd}" "${_odd}/scheme_t2_vtw.cfg")

# Mistakes: a text file, a missing file.
file(WRITE ${WORK}/words.txt "word 1\nword 2\n")
foreach(_case "words.txt|not a WAV file" "missing.wav|it does not open (No such file or directory)")
  string(REPLACE "|" ";" _case "${_case}")
  list(GET _case 0 _file)
  list(GET _case 1 _reason)
  execute_process(COMMAND ${WORK}/app/build/app ${_scheme} ${WORK}/${_file} ${WORK}/data
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  string(FIND "${err}" "app: Cannot read audio file ${WORK}/${_file}: ${_reason}" _named)
  if(NOT rc EQUAL 1 OR _named EQUAL -1)
    fail("${_file}: the app ended with ${rc}, not 1 naming the file and why\n${out}\n${err}")
  endif()
endforeach()
execute_process(COMMAND ${WORK}/app/build/app ${WORK}/missing.cfg ${WORK}/words.wav ${WORK}/data
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
string(FIND "${err}" "failed: No decoder of \"tembrolexin_VorselTW_DecoderDescriptors\" runs: the decoding core refused every scheme configuration (${WORK}/missing.cfg: Scheme configuration: cannot open file ${WORK}/missing.cfg)\n" _named)
if(NOT rc EQUAL 1 OR _named EQUAL -1)
  fail("missing.cfg: the app ended with ${rc}, not 1 naming the key, the file and why\n${out}\n${err}")
endif()
file(REMOVE_RECURSE ${WORK})
