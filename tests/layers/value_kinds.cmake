# Every stored value says what kind of text it is (ValueKind, store/Data.h), and the window
# decodes stored values by that kind, through shell/DisplayText, never by a choice of its own.
# This script fails on:
#   - a SchemaType row, anywhere in src/, tests/, bench/ or fuzz/, that names no kind (or names
#     ValueKind::Unset), and a Data::NewType call there that passes none;
#   - a constexpr SettingKey there that names no kind of text (the settings' values share one
#     type, "global_value", whose kind is the key's);
#   - in src/ui and src/shell (shell/DisplayText.cpp aside), a decoder applied to a stored value
#     (QString::fromUtf8, fromLatin1, fromStdString, fromLocal8Bit, QFile::decodeName,
#     QLatin1String, or DisplayText's NameText or Utf8Text, which decode by the caller's choice
#     rather than the value's kind, around an AsString() or AsCStr() result, in one statement), a
#     direct encoding of typed text (toUtf8().toStdString(), toLatin1().toStdString()), or a
#     private copy of a decoder (a function of one std::string that returns it decoded);
# except in the files that ALLOWED lists, one path below src/ a line ('#' starts a comment).
#
#   cmake -DTOP=<source> -DALLOWED=<list file> -P value_kinds.cmake
#
# The read-site rules see one statement at a time and one level of parentheses inside the
# decoder's argument: a value decoded a statement after it was read escapes them.

cmake_minimum_required(VERSION 3.21)

if(NOT TOP OR NOT ALLOWED)
    message(FATAL_ERROR "usage: cmake -DTOP=<source> -DALLOWED=<list> -P ${CMAKE_SCRIPT_MODE_FILE}")
endif()

# Semicolons would split CMake lists: the file's text carries another mark in their place.
string(ASCII 1 SEMI)

function(read_source path out)
    file(READ "${path}" text)
    string(REPLACE ";" "${SEMI}" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The line of text at which fragment first occurs.
function(line_of text fragment out)
    string(FIND "${text}" "${fragment}" at)
    string(SUBSTRING "${text}" 0 ${at} before)
    string(REGEX MATCHALL "\n" breaks "${before}")
    list(LENGTH breaks count)
    math(EXPR line "${count} + 1")
    set(${out} ${line} PARENT_SCOPE)
endfunction()

# The same for fragments met in the order of the text: cursor_text holds what follows the last
# one found and cursor_line the line it begins on, so that a fragment repeated further on is
# placed where it stands. Both take the names of variables: a macro would read their text again.
macro(cursor_start text_var)
    set(cursor_text "${${text_var}}")
    set(cursor_line 1)
endmacro()
macro(cursor_line_of fragment_var out)
    string(FIND "${cursor_text}" "${${fragment_var}}" cursor_at)
    string(LENGTH "${${fragment_var}}" cursor_size)
    math(EXPR cursor_end "${cursor_at} + ${cursor_size}")
    string(SUBSTRING "${cursor_text}" 0 ${cursor_end} cursor_before)
    string(SUBSTRING "${cursor_text}" ${cursor_end} -1 cursor_text)
    # The line where the fragment's text begins, past the blanks and breaks in front of it.
    string(REGEX MATCH "^[ \t\r\n]*" cursor_blank "${${fragment_var}}")
    string(REGEX MATCHALL "\n" cursor_breaks "${cursor_before}")
    list(LENGTH cursor_breaks cursor_count)
    set(cursor_start_line ${cursor_line})
    math(EXPR cursor_line "${cursor_line} + ${cursor_count}")
    string(SUBSTRING "${cursor_before}" 0 ${cursor_at} cursor_front)
    string(REGEX MATCHALL "\n" cursor_front_breaks "${cursor_front}${cursor_blank}")
    list(LENGTH cursor_front_breaks cursor_front_count)
    math(EXPR ${out} "${cursor_start_line} + ${cursor_front_count}")
endmacro()

function(one_line fragment out)
    string(REGEX REPLACE "[ \t\r\n]+" " " fragment "${fragment}")
    string(STRIP "${fragment}" fragment)
    set(${out} "${fragment}" PARENT_SCOPE)
endfunction()

# How many arguments the first parenthesis of a call holds: its commas outside any inner
# parenthesis, plus one.
function(argument_count call out)
    string(FIND "${call}" "(" at)
    string(LENGTH "${call}" size)
    set(depth 0)
    set(count 1)
    while(at LESS size)
        string(SUBSTRING "${call}" ${at} 1 c)
        if(c STREQUAL "(")
            math(EXPR depth "${depth} + 1")
        elseif(c STREQUAL ")")
            math(EXPR depth "${depth} - 1")
            if(depth EQUAL 0)
                break()
            endif()
        elseif(c STREQUAL "," AND depth EQUAL 1)
            math(EXPR count "${count} + 1")
        endif()
        math(EXPR at "${at} + 1")
    endwhile()
    set(${out} ${count} PARENT_SCOPE)
endfunction()

set(faults 0)

# --- Declarations ---------------------------------------------------------------------------
set(ws "[ \t\r\n]*")
set(tables 0)
set(rows 0)
set(calls 0)
set(settings 0)
file(GLOB_RECURSE sources "${TOP}/src/*.h" "${TOP}/src/*.cpp" "${TOP}/tests/*.h"
    "${TOP}/tests/*.cpp" "${TOP}/bench/*.h" "${TOP}/bench/*.cpp" "${TOP}/fuzz/*.h"
    "${TOP}/fuzz/*.cpp")
foreach(path IN LISTS sources)
    file(RELATIVE_PATH name "${TOP}" "${path}")
    read_source("${path}" text)
    # Tables: "SchemaType name[] = { rows }", rows in braces, no semicolon before the end.
    string(REGEX MATCHALL "SchemaType[ \t\r\n]+[A-Za-z0-9_]+${ws}\\[\\]${ws}=" starts "${text}")
    string(REGEX MATCHALL
        "SchemaType[ \t\r\n]+[A-Za-z0-9_]+${ws}\\[\\]${ws}=${ws}{[^${SEMI}]*}${ws}${SEMI}"
        found "${text}")
    list(LENGTH starts started)
    list(LENGTH found read)
    if(NOT started EQUAL read)
        message("${name}: ${started} SchemaType table(s), only ${read} of them readable here")
        math(EXPR faults "${faults} + 1")
    endif()
    foreach(table IN LISTS found)
        math(EXPR tables "${tables} + 1")
        string(REGEX MATCHALL "{[^{}]*}" entries "${table}")
        foreach(entry IN LISTS entries)
            math(EXPR rows "${rows} + 1")
            if(NOT entry MATCHES "ValueKind::[A-Za-z]+" OR entry MATCHES "ValueKind::Unset")
                line_of("${text}" "${entry}" line)
                one_line("${entry}" shown)
                message("${name}:${line}: a type declared without the kind of its value: ${shown}")
                math(EXPR faults "${faults} + 1")
            endif()
        endforeach()
    endforeach()
    # Setting keys: their values share one type, so each key names the kind of its text.
    string(REGEX MATCHALL "constexpr[ \t]+SettingKey[ \t]+[A-Za-z0-9_]+${ws}{[^{}]*}" keys
        "${text}")
    foreach(key IN LISTS keys)
        math(EXPR settings "${settings} + 1")
        if(NOT key MATCHES "ValueKind::(Name|Utf8|Path|Number|Time|Word)[^A-Za-z]")
            line_of("${text}" "${key}" line)
            one_line("${key}" shown)
            message("${name}:${line}: a setting key without the kind of its text: ${shown}")
            math(EXPR faults "${faults} + 1")
        endif()
    endforeach()
    # Direct declarations; the store's own declaration, definition and forwarding aside.
    if(NOT name MATCHES "^src/store/(Data\\.h|Data\\.cpp|Schema\\.cpp)$")
        string(REGEX MATCHALL "NewType${ws}\\([^${SEMI}]*" declared "${text}")
        foreach(call IN LISTS declared)
            math(EXPR calls "${calls} + 1")
            argument_count("${call}" given)
            if(NOT given EQUAL 5 OR call MATCHES "ValueKind::Unset")
                line_of("${text}" "${call}" line)
                one_line("${call}" shown)
                message("${name}:${line}: a type declared without the kind of its value: ${shown}")
                math(EXPR faults "${faults} + 1")
            endif()
        endforeach()
    endif()
endforeach()
if(tables EQUAL 0 OR rows EQUAL 0)
    message(FATAL_ERROR "no SchemaType table found under ${TOP}: the patterns no longer match")
endif()
if(settings EQUAL 0)
    message(FATAL_ERROR "no setting key found under ${TOP}: the pattern no longer matches")
endif()

# --- Read sites of the window ---------------------------------------------------------------
file(STRINGS "${ALLOWED}" allowed_lines)
set(allowed "")
foreach(entry IN LISTS allowed_lines)
    string(REGEX REPLACE "#.*" "" entry "${entry}")
    string(STRIP "${entry}" entry)
    if(entry)
        list(APPEND allowed "${entry}")
    endif()
endforeach()

set(decoder "(fromUtf8|fromLatin1|fromStdString|fromLocal8Bit|decodeName|QLatin1String|NameText|Utf8Text)")
# Up to three levels of parentheses inside the decoder's argument.
set(argument "[^()]*")
foreach(level 1 2 3)
    set(argument "([^()]|\\(${argument}\\))*")
endforeach()
set(stored_read "${decoder}${ws}\\(${argument}(AsString|AsCStr)${ws}\\(${ws}\\)")
set(direct_encoding "(toUtf8|toLatin1)${ws}\\(${ws}\\)${ws}\\.${ws}toStdString${ws}\\(")
# A QString's own toStdString() is UTF-8: an encoding wherever its result is stored.
set(stored_write "toStdString${ws}\\(${ws}\\)")
set(storing "(Value|Settings::Set)${ws}\\(")
set(one_string "\\((const[ \t]+)?std::string(_view)?[ \t]*&?[ \t]*[A-Za-z0-9_]+\\)")
set(one_qstring "\\((const[ \t]+)?QString[ \t]*&?[ \t]*[A-Za-z0-9_]+\\)")
set(private_copy "(QString[ \t]+[A-Za-z0-9_]+${one_string}${ws}{${ws}return[ \t]+(QString::)?(fromUtf8|fromLatin1|fromStdString|fromLocal8Bit)|std::string[ \t]+[A-Za-z0-9_]+${one_qstring}${ws}{${ws}return[ \t]+[A-Za-z0-9_]+\\.(toStdString|toUtf8|toLatin1|toLocal8Bit))")

file(GLOB_RECURSE window_sources RELATIVE "${TOP}/src" "${TOP}/src/ui/*.h" "${TOP}/src/ui/*.cpp"
    "${TOP}/src/shell/*.h" "${TOP}/src/shell/*.cpp")
set(sites 0)
set(tolerated 0)
set(still_allowed "")
foreach(name IN LISTS window_sources)
    if(name STREQUAL "shell/DisplayText.cpp")
        continue()
    endif()
    read_source("${TOP}/src/${name}" text)
    # Comments on lines of their own go; the lines stay.
    string(REGEX REPLACE "\n[ \t]*//[^\n]*" "\n" text "${text}")
    # Statements, or what lies between two braces: a decoder and the read it decodes are looked
    # for within one.
    string(REGEX MATCHALL "[^${SEMI}{}]+" statements "${text}")
    set(here "")
    cursor_start(text)
    foreach(statement IN LISTS statements)
        set(what "")
        if(statement MATCHES "${stored_read}")
            set(what "a stored value decoded in place")
            set(shown "${CMAKE_MATCH_0}")
        elseif(statement MATCHES "${direct_encoding}")
            set(what "typed text encoded in place")
            set(shown "${statement}")
        elseif(statement MATCHES "${storing}" AND statement MATCHES "${stored_write}")
            set(what "text encoded in place for the store")
            set(shown "${statement}")
        endif()
        if(what)
            cursor_line_of(statement line)
            one_line("${shown}" shown)
            list(APPEND here "${line}: ${what}: ${shown}")
        endif()
    endforeach()
    string(REGEX MATCHALL "${private_copy}" copies "${text}")
    foreach(copy IN LISTS copies)
        line_of("${text}" "${copy}" line)
        string(REGEX MATCH "(QString|std::string)[ \t]+[A-Za-z0-9_]+" function "${copy}")
        list(APPEND here "${line}: a private copy of a decoder or encoder: ${function}")
    endforeach()
    list(LENGTH here count)
    if(count EQUAL 0)
        continue()
    endif()
    math(EXPR sites "${sites} + ${count}")
    if(name IN_LIST allowed)
        math(EXPR tolerated "${tolerated} + ${count}")
        list(APPEND still_allowed "${name}")
        continue()
    endif()
    foreach(site IN LISTS here)
        message("src/${name}:${site}")
    endforeach()
    math(EXPR faults "${faults} + ${count}")
endforeach()

foreach(name IN LISTS allowed)
    if(NOT name IN_LIST still_allowed)
        message("note: src/${name} is allowed but decodes nothing by itself any more: "
                "its line can go from ${ALLOWED}")
    endif()
endforeach()

if(faults GREATER 0)
    message(FATAL_ERROR "${faults} declaration(s) or read site(s) against the value kinds")
endif()
message("${tables} type tables (${rows} rows), ${calls} direct declarations and ${settings} "
        "setting keys name their kinds; "
        "${tolerated} read site(s) in the files still allowed to decode by themselves")
