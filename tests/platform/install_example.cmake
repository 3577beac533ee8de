# Installs the build into a temporary prefix, builds examples/decode_wav
# against it twice (find_package, then pkg-config), renders audio carrying
# code words 4242 and 4243 with tl_gen (16 kHz mono, 48 kHz stereo) and checks
# that the example prints both, and that it exits 1 on a file it cannot
# decode at all.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DGENERATOR=... -DCXX=... -P install_example.cmake
string(RANDOM LENGTH 8 _tag)
set(WORK /tmp/tl_install_example_${_tag})
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    file(REMOVE_RECURSE ${WORK})
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(LAST_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK}/prefix)
foreach(f lib/cmake/tembrolexin/tembrolexinConfig.cmake lib/pkgconfig/tembrolexin.pc
          include/tembrolexin/platform/api/tl_decoder.h
          include/tembrolexin/platform/runtime/platform_environment.h
          include/tembrolexin/platform/messages/platform_messages_types.h
          include/tembrolexin/schema/tembrolexin_types.h lib/libtl_platform_api.a
          lib/libtl_platform_runtime.a)
  if(NOT EXISTS ${WORK}/prefix/${f})
    file(REMOVE_RECURSE ${WORK})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# With the CMake package.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/decode_wav -B ${WORK}/example -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${WORK}/prefix -DCMAKE_BUILD_TYPE=RelWithDebInfo)
run(${CMAKE_COMMAND} --build ${WORK}/example)

# With pkg-config.
set(ENV{PKG_CONFIG_PATH} ${WORK}/prefix/lib/pkgconfig)
run(pkg-config --cflags --libs tembrolexin)
string(STRIP "${LAST_OUTPUT}" _flags)
separate_arguments(_flags UNIX_COMMAND "${_flags}")
run(${CXX} ${SOURCE_DIR}/examples/decode_wav/main.cc -o ${WORK}/decode_wav_pc ${_flags})

# Generator audio: code words 4242 and 4243 at 10 dB SNR after 2 s of noise,
# at the scheme's 16 kHz (mono) and at 48 kHz in stereo, which the recorder
# takes at its own rate and the decoder converts.
set(_scheme ${SOURCE_DIR}/tests/data/scheme_t2_vtw.cfg)
run(${BUILD_DIR}/tools/tl_gen --snr 10 --seed 3 --lead-in 2 ${_scheme} ${WORK}/words.wav 4242 4243)
run(${BUILD_DIR}/tools/tl_gen --snr 10 --seed 3 --lead-in 2 --rate 48000 --channels 2 ${_scheme}
    ${WORK}/words48.wav 4242 4243)
foreach(exe ${WORK}/example/decode_wav ${WORK}/decode_wav_pc)
  foreach(wav words.wav words48.wav)
    file(REMOVE_RECURSE ${WORK}/data)
    run(${exe} ${_scheme} ${WORK}/${wav} ${WORK}/data)
    if(NOT LAST_OUTPUT MATCHES "codeword 4242 engine TRIGGER"
       OR NOT LAST_OUTPUT MATCHES "codeword 4243 engine TRIGGER")
      file(REMOVE_RECURSE ${WORK})
      message(FATAL_ERROR "${exe} did not print both code words of ${wav}:\n${LAST_OUTPUT}")
    endif()
  endforeach()
endforeach()

# A scheme that no built-in plug-in runs (CS4 at 16 kHz): nothing is decoded,
# and the example says so with exit status 1.
file(REMOVE_RECURSE ${WORK}/data)
execute_process(COMMAND ${WORK}/example/decode_wav ${SOURCE_DIR}/tests/data/scheme_t4_cs4.cfg
                        ${WORK}/words.wav ${WORK}/data
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 1 OR NOT err MATCHES "decode_wav: nothing decoded")
  file(REMOVE_RECURSE ${WORK})
  message(FATAL_ERROR "decode_wav on an undecodable scheme: exit ${rc}\n${out}\n${err}")
endif()
file(REMOVE_RECURSE ${WORK})
