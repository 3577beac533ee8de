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

# readme_block(MARKER LANG OUT): the ```LANG block right after the line
# "<!-- MARKER -->" of README.md (in ${SOURCE_DIR}), as it stands.
function(readme_block marker lang out)
  file(READ ${SOURCE_DIR}/README.md _readme)
  set(_head "<!-- ${marker} -->\n```${lang}\n")
  string(FIND "${_readme}" "${_head}" _at)
  if(_at EQUAL -1)
    fail("README.md shows no ${lang} block after <!-- ${marker} -->")
  endif()
  string(LENGTH "${_head}" _skip)
  math(EXPR _at "${_at} + ${_skip}")
  string(SUBSTRING "${_readme}" ${_at} -1 _rest)
  string(FIND "${_rest}" "\n```\n" _end)
  string(SUBSTRING "${_rest}" 0 ${_end} _block)
  set(${out} "${_block}\n" PARENT_SCOPE)
endfunction()
