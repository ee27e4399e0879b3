cmake_minimum_required(VERSION 3.25)
# Turns a gettext catalogue into a C++ table for cli/messages.h, at build time, so the program needs
# neither libintl nor compiled .mo files: cmake -DPO_FILE=zh_CN.po -DOUTPUT=catalogue.cpp -P po_to_cpp.cmake
# Strings keep their PO escapes (\n, \", \\, \t), which C++ reads the same way. Fuzzy entries and the
# header (empty msgid) are left out, as msgfmt leaves them out.
if(NOT PO_FILE OR NOT OUTPUT)
    message(FATAL_ERROR "po_to_cpp.cmake needs PO_FILE and OUTPUT")
endif()
file(READ "${PO_FILE}" po)
# CMake lists split at ';' and treat brackets specially: both stand aside while the lines are walked.
string(REPLACE ";" "@SEMICOLON@" po "${po}")
string(REPLACE "[" "@OPEN@" po "${po}")
string(REPLACE "]" "@CLOSE@" po "${po}")
string(REPLACE "\r" "" po "${po}")
string(REPLACE "\n" ";" lines "${po}")
list(APPEND lines "")

set(table "")
set(count 0)
set(field "")
set(msgid "")
set(msgstr "")
set(fuzzy OFF)
macro(flush_entry)
    if(NOT msgid STREQUAL "" AND NOT fuzzy)
        string(APPEND table "    {\"${msgid}\", \"${msgstr}\"},\n")
        math(EXPR count "${count} + 1")
    endif()
    set(field "")
    set(msgid "")
    set(msgstr "")
    set(fuzzy OFF)
endmacro()

foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line MATCHES "^#,.*fuzzy")
        set(fuzzy ON)
    elseif(line STREQUAL "" OR line MATCHES "^#")
        if(line STREQUAL "" AND NOT field STREQUAL "")
            flush_entry()
        endif()
    elseif(line MATCHES "^msgid \"(.*)\"$")
        if(NOT field STREQUAL "")
            flush_entry()
        endif()
        set(field msgid)
        set(msgid "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^msgstr \"(.*)\"$")
        set(field msgstr)
        set(msgstr "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^\"(.*)\"$")
        if(field STREQUAL "msgid")
            string(APPEND msgid "${CMAKE_MATCH_1}")
        elseif(field STREQUAL "msgstr")
            string(APPEND msgstr "${CMAKE_MATCH_1}")
        endif()
    else()
        message(FATAL_ERROR "${PO_FILE}: a line po_to_cpp.cmake does not read: ${line}")
    endif()
endforeach()

string(REPLACE "@SEMICOLON@" ";" table "${table}")
string(REPLACE "@OPEN@" "[" table "${table}")
string(REPLACE "@CLOSE@" "]" table "${table}")
file(WRITE "${OUTPUT}.tmp" "// Generated from ${PO_FILE} by po_to_cpp.cmake; edit the .po file instead.
#include \"cli/messages.h\"

namespace cli {
namespace {
const CatalogueEntry kEntries[] = {
${table}    {\"\", \"\"},
};
} // namespace

Catalogue SimplifiedChineseCatalogue() {
    return {kEntries, ${count}};
}

} // namespace cli
")
# Written only when it changed, so an unchanged catalogue compiles nothing again.
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
