# Runs GenerateMessageFields.cmake on one IDL and checks the outcome:
#   cmake -DGENERATOR=<script> -DIN=<idl> -DOUT=<header> [-DEXPECT=<file>]
#         [-DERROR=<regex>] -P check_field_generator.cmake
# EXPECT: the header holds the file's text as it is. ERROR: the generator
# fails with a message that matches.
execute_process(
  COMMAND ${CMAKE_COMMAND} -DIN=${IN} -DOUT=${OUT} -DNAMESPACE=generatortest
          -DINCLUDE=generatortest_types.h -P ${GENERATOR}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
# CMake wraps long messages: compare with every run of blanks as one space.
string(REGEX REPLACE "[ \t\n]+" " " output "${output}")
if(DEFINED ERROR)
  if(result EQUAL 0)
    message(FATAL_ERROR "${IN}: generated, but should have been refused")
  endif()
  if(NOT output MATCHES "${ERROR}")
    message(FATAL_ERROR "${IN}: refused with\n${output}\nnot matching '${ERROR}'")
  endif()
  return()
endif()
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${IN}: refused:\n${output}")
endif()
file(READ "${OUT}" header)
file(READ "${EXPECT}" expected)
string(FIND "${header}" "${expected}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${OUT} lacks\n${expected}\nIt reads:\n${header}")
endif()
