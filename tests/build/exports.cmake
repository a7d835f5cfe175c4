# Checks that a shared object exports exactly the functions and objects that
# its public header declares with KEMLUAUTILS_API: nothing missing, and no
# platform, C++ runtime or template symbol besides them.
#   cmake -DNM=nm -DLIBRARY=libkemluautils.so -DHEADER=kemluautils.h -P exports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE listing COMMAND_ERROR_IS_FATAL ANY)
# nm's lines end with the name
string(REGEX REPLACE "[^\n]* ([^ \n]+)\n" "\\1;" exported "${listing}")

# Declarations run from the export macro to the semicolon; without the other attribute macros,
# the name is the identifier before the parameter list, or the last one of an object declaration.
file(READ ${HEADER} text)
string(REGEX MATCHALL "\nKEMLUAUTILS_API[^;]*" declarations "${text}")
set(declared "")
foreach(declaration IN LISTS declarations)
  string(REGEX REPLACE "KEMLUAUTILS_[A-Z]+(\\([^)]*\\))?" "" declaration "${declaration}")
  if(declaration MATCHES "([A-Za-z_][A-Za-z0-9_]*)[ \t\n]*(\\(|$)")
    list(APPEND declared ${CMAKE_MATCH_1})
  endif()
endforeach()

set(extra ${exported})
list(REMOVE_ITEM extra ${declared})
set(missing ${declared})
list(REMOVE_ITEM missing ${exported})
list(LENGTH declared count)
if(NOT declared OR extra OR missing)
  message(FATAL_ERROR "exports of ${LIBRARY} differ from ${HEADER}:\n"
    "  declared: ${count}\n  exported but not declared: ${extra}\n  declared but not exported: ${missing}")
endif()
message("${count} exported symbols, as declared: 1 passed, 0 failed")
