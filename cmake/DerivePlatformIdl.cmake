# Derives the platform layer's copy of the message schema from the core's IDL.
#
#   cmake -DIN=<core .thrift> -DOUT=<derived .thrift> -DNAMESPACE=<cpp namespace>
#         -P DerivePlatformIdl.cmake
#
# The platform classes carry the same field ids and wire types as the core's
# structs, but
#  - every field is optional: a field is written only when it was set, and a
#    reader never insists on one (the core's required ConfigParam.type too);
#  - a field of an enum type becomes an i32, so values outside the enum's table
#    travel unchanged and the platform never assigns an out-of-range enum;
#  - the structs live in their own C++ namespace, and the file's own name
#    makes the generated files (and their include guards) differ from the
#    core's, so both layers' headers can meet in one translation unit.
# The enums themselves are kept, so their value names remain available.

file(READ "${IN}" text)
# Lines are handled as a CMake list: protect the characters that lists treat
# specially before splitting at newlines.
string(REPLACE ";" "@SEMICOLON@" text "${text}")
string(REPLACE "[" "@LBRACKET@" text "${text}")
string(REPLACE "]" "@RBRACKET@" text "${text}")
string(REPLACE "\\" "@BACKSLASH@" text "${text}")

string(REGEX MATCHALL "(^|\n)enum +[A-Za-z_][A-Za-z0-9_]*" enum_decls "${text}")
set(enums)
foreach(decl IN LISTS enum_decls)
  string(REGEX REPLACE "^\n?enum +" "" name "${decl}")
  list(APPEND enums "${name}")
endforeach()
if(NOT enums)
  message(FATAL_ERROR "${IN}: no enums found; the derivation rules no longer fit the IDL")
endif()

string(REPLACE "\n" ";" lines "${text}")
get_filename_component(in_name "${IN}" NAME)
set(out "// Derived from ${in_name} at build time. Do not edit.\n")
set(namespace_done FALSE)
set(field_count 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^namespace +cpp +")
    set(line "namespace cpp ${NAMESPACE}")
    set(namespace_done TRUE)
  elseif(line MATCHES "^([ \t]*[0-9]+[ \t]*:[ \t]*)((required|optional)[ \t]+)?(.*)$")
    set(prefix "${CMAKE_MATCH_1}")
    set(rest "${CMAKE_MATCH_4}")
    foreach(e IN LISTS enums)
      # Whole-word matches in type position only: at the start, or after '<',
      # ',' or a space inside a container type, and followed by '>', ',' or a
      # space.
      string(REGEX REPLACE "(^|[<, ])${e}([>, ])" "\\1i32\\2" rest "${rest}")
    endforeach()
    set(line "${prefix}optional ${rest}")
    math(EXPR field_count "${field_count} + 1")
  endif()
  string(APPEND out "${line}\n")
endforeach()
if(NOT namespace_done OR field_count EQUAL 0)
  message(FATAL_ERROR "${IN}: no 'namespace cpp' line or no fields; the derivation rules no longer fit the IDL")
endif()

string(REPLACE "@SEMICOLON@" ";" out "${out}")
string(REPLACE "@LBRACKET@" "[" out "${out}")
string(REPLACE "@RBRACKET@" "]" out "${out}")
string(REPLACE "@BACKSLASH@" "\\" out "${out}")
# Rewrite only on change, so an unchanged result does not rebuild dependants.
file(WRITE "${OUT}.tmp" "${out}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
