# Generates the field tables of the platform message classes from the
# platform's message IDL (the one DerivePlatformIdl.cmake derives).
#
#   cmake -DIN=<platform .thrift> -DOUT=<header> -DNAMESPACE=<cpp namespace>
#         -DINCLUDE=<the Thrift compiler's header for IN, as included>
#         -P GenerateMessageFields.cmake
#
# For every struct it writes a specialisation of MessageFields<Struct>
# (platform/messages/message_fields.h): the class name, the field count, and
# forEachField, which visits each field in ascending id order with its kind,
# stored value and is-set flag. The hash, text form and keyed archiving of
# platform/messages/message_frame.cc are written once against these tables.
# Beside the table, each specialisation holds the class's all-fields
# initialiser (initWith<FirstField>, also reachable as initWithAllFields).
# It also writes the X-macro TL_PLATFORM_MESSAGE_CLASSES over every struct.
#
# The IDL is read line by line, one field per line ("<id>: [optional|required]
# <type> <name>,"), as the schema is written; anything else inside a struct,
# a type that names neither a base type, a container nor a struct of the file
# (an enum that was not turned into i32, a typedef), or a repeated field id
# stops the build with the line at fault.

cmake_minimum_required(VERSION 3.21)  # IN_LIST, file(COPY_FILE)

file(READ "${IN}" text)
string(REPLACE ";" "@SEMICOLON@" text "${text}")
string(REPLACE "[" "@LBRACKET@" text "${text}")
string(REPLACE "]" "@RBRACKET@" text "${text}")
string(REPLACE "\\" "@BACKSLASH@" text "${text}")
# Block comments never hold a field; drop them before splitting into lines.
string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" text "${text}")
string(REPLACE "\n" ";" lines "${text}")

# First pass: the struct names, so that a field type can refer to a struct
# declared further down.
set(structs)
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]*struct[ \t]+([A-Za-z_][A-Za-z0-9_]*)")
    list(APPEND structs "${CMAKE_MATCH_1}")
  endif()
endforeach()
if(NOT structs)
  message(FATAL_ERROR "${IN}: no structs found")
endif()

set(base_kinds bool Bool i16 I16 i32 I32 i64 I64 double Double string String binary Binary)

# The C++ kind of an IDL type: "map<string, list<AssetAction>>" becomes
# "kind::Map<kind::String, kind::List<kind::Struct<AssetAction>>>".
function(kind_of type out_var)
  string(REGEX REPLACE "([<>,])" " \\1 " spaced "${type}")
  string(REGEX REPLACE "[ \t]+" ";" tokens "${spaced}")
  set(result "")
  foreach(token IN LISTS tokens)
    if(token STREQUAL "")
      continue()
    elseif(token STREQUAL "<" OR token STREQUAL ">")
      string(APPEND result "${token}")
    elseif(token STREQUAL ",")
      string(APPEND result ", ")
    elseif(token STREQUAL "list")
      string(APPEND result "kind::List")
    elseif(token STREQUAL "set")
      string(APPEND result "kind::Set")
    elseif(token STREQUAL "map")
      string(APPEND result "kind::Map")
    else()
      list(FIND base_kinds "${token}" at)
      if(at GREATER_EQUAL 0 AND at LESS 14)
        math(EXPR at "${at} + 1")
        list(GET base_kinds ${at} base)
        string(APPEND result "kind::${base}")
      elseif(token IN_LIST structs)
        string(APPEND result "kind::Struct<${token}>")
      else()
        message(FATAL_ERROR "${IN}: type '${type}': '${token}' is neither a base type, "
                            "a container nor a struct of this file")
      endif()
    endif()
  endforeach()
  set(${out_var} "${result}" PARENT_SCOPE)
endfunction()

set(body "")
set(classes "")
set(checks "")
set(current "")
set(in_enum FALSE)
set(line_no 0)
foreach(line IN LISTS lines)
  math(EXPR line_no "${line_no} + 1")
  string(REGEX REPLACE "//.*$" "" code "${line}")
  string(REGEX REPLACE "#.*$" "" code "${code}")
  string(STRIP "${code}" code)
  if(in_enum)
    if(code MATCHES "}")
      set(in_enum FALSE)
    endif()
    continue()
  endif()
  if(current STREQUAL "")
    if(code MATCHES "^struct[ \t]+([A-Za-z_][A-Za-z0-9_]*)[ \t]*{$")
      set(current "${CMAKE_MATCH_1}")
      set(fields "")
      set(ids "")
    elseif(code MATCHES "^enum[ \t]")
      if(NOT code MATCHES "}")
        set(in_enum TRUE)
      endif()
    elseif(code MATCHES "^(struct|union|exception|service)[ \t]")
      message(FATAL_ERROR "${IN}:${line_no}: cannot read '${line}'")
    endif()
    continue()
  endif()
  if(code STREQUAL "")
    continue()
  endif()
  if(code STREQUAL "}")
    # Ascending ids: zero-padded keys sort as numbers.
    list(SORT fields)
    list(LENGTH fields count)
    list(APPEND classes "  X(${current})")
    string(APPEND body
           "template <>\n"
           "struct MessageFields<${current}> {\n"
           "  static constexpr std::string_view kName = \"${current}\";\n"
           "  static constexpr std::size_t kFieldCount = ${count};\n"
           "\n"
           "  template <typename M, typename Visit>\n"
           "    requires std::is_same_v<std::remove_const_t<M>, ${current}>\n"
           "  static void forEachField(M& m, Visit&& visit) {\n")
    foreach(entry IN LISTS fields)
      string(REPLACE "|" ";" parts "${entry}")
      list(GET parts 1 id)
      list(GET parts 2 name)
      list(GET parts 3 kind)
      string(APPEND body
             "    visit(Field<${kind}>{${id}, \"${name}\"}, m.${name}, static_cast<bool>(m.__isset.${name}),\n"
             "          [](auto& x, bool on) { x.__isset.${name} = on; });\n")
      string(APPEND checks
             "static_assert(std::is_same_v<decltype(${current}::${name}), Storage<${kind}>>,\n"
             "              \"${current}.${name} is not stored as its kind\");\n")
    endforeach()
    string(APPEND body "  }\n")
    # The all-fields initialiser: one argument per field in id order, each
    # stored and marked set (an empty string or container too). Named after
    # the first field ("initWithSender"); initWithAllFields is the same
    # function under one name for every class.
    set(params "")
    set(stores "")
    set(first "")
    foreach(entry IN LISTS fields)
      string(REPLACE "|" ";" parts "${entry}")
      list(GET parts 2 name)
      list(GET parts 3 kind)
      if(first STREQUAL "")
        set(first "${name}")
      endif()
      list(APPEND params "Storage<${kind}> ${name}")
      string(APPEND stores "    m.${name} = std::move(${name});\n    m.__isset.${name} = true;\n")
    endforeach()
    string(SUBSTRING "${first}" 0 1 head)
    string(TOUPPER "${head}" head)
    string(SUBSTRING "${first}" 1 -1 tail)
    set(init "initWith${head}${tail}")
    list(JOIN params ", " params)
    string(APPEND body
           "\n"
           "  static ${current} ${init}(${params}) {\n"
           "    ${current} m;\n"
           "${stores}"
           "    return m;\n"
           "  }\n"
           "  static constexpr auto* initWithAllFields = &${init};\n"
           "};\n\n")
    set(current "")
    continue()
  endif()
  if(NOT code MATCHES
     "^([0-9]+)[ \t]*:[ \t]*((optional|required)[ \t]+)?(.*[^ \t])[ \t]+([A-Za-z_][A-Za-z0-9_]*)[ \t]*(,|@SEMICOLON@)?$")
    message(FATAL_ERROR "${IN}:${line_no}: cannot read '${line}' in struct ${current}")
  endif()
  set(id "${CMAKE_MATCH_1}")
  set(type "${CMAKE_MATCH_4}")
  set(name "${CMAKE_MATCH_5}")
  if(id IN_LIST ids)
    message(FATAL_ERROR "${IN}:${line_no}: field id ${id} repeated in struct ${current}")
  endif()
  list(APPEND ids "${id}")
  kind_of("${type}" kind)
  string(LENGTH "${id}" digits)
  set(key "${id}")
  while(digits LESS 5)
    string(PREPEND key "0")
    math(EXPR digits "${digits} + 1")
  endwhile()
  # The kind holds ", " but never "|" or ";".
  list(APPEND fields "${key}|${id}|${name}|${kind}")
endforeach()
if(NOT current STREQUAL "")
  message(FATAL_ERROR "${IN}: struct ${current} does not end")
endif()

list(JOIN classes " \\\n" classes)
get_filename_component(in_name "${IN}" NAME)
set(out "// Generated from ${in_name} at build time by GenerateMessageFields.cmake. Do not edit.\n")
string(APPEND out
       "#ifndef TL_PLATFORM_MESSAGES_PLATFORM_MESSAGES_FIELDS_H_\n"
       "#define TL_PLATFORM_MESSAGES_PLATFORM_MESSAGES_FIELDS_H_\n\n"
       "#include <cstddef>\n#include <string_view>\n#include <type_traits>\n#include <utility>\n\n"
       "#include \"${INCLUDE}\"\n"
       "#include \"platform/messages/message_fields.h\"\n\n"
       "namespace ${NAMESPACE} {\n\n"
       "// Every message class of the schema, in the schema's order.\n"
       "#define TL_PLATFORM_MESSAGE_CLASSES(X) \\\n${classes}\n\n"
       "${body}"
       "${checks}\n"
       "}  // namespace ${NAMESPACE}\n\n"
       "#endif  // TL_PLATFORM_MESSAGES_PLATFORM_MESSAGES_FIELDS_H_\n")
string(REPLACE "@SEMICOLON@" ";" out "${out}")
string(REPLACE "@LBRACKET@" "[" out "${out}")
string(REPLACE "@RBRACKET@" "]" out "${out}")
string(REPLACE "@BACKSLASH@" "\\" out "${out}")
file(WRITE "${OUT}.tmp" "${out}")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
