# Shared by the install scripts: fail() removes the work folder ${WORK} and
# stops the script; run() runs a command (at most 600 s) and fails with its
# output when it does not succeed.
function(fail text)
  file(REMOVE_RECURSE ${WORK})
  message(FATAL_ERROR "${text}")
endfunction()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                  TIMEOUT 600)
  if(NOT rc EQUAL 0)
    fail("failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
endfunction()
