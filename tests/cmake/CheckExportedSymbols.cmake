# Fails when the shared library LIB exports a defined dynamic symbol other
# than the detector class's own (members, vtable, type info) and the C entry
# points (Korva* functions). Run with NM set
# to an nm that understands -D; exits with SKIP_CODE when none is available.
#   cmake -DLIB=<library> -DNM=<nm> -DSKIP_CODE=77 -P CheckExportedSymbols.cmake
if(NOT NM OR NOT EXISTS "${NM}")
  message("no nm tool; symbol check skipped")
  cmake_language(EXIT ${SKIP_CODE})
endif()
execute_process(COMMAND "${NM}" -D --defined-only -C "${LIB}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIB}: ${err}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(api 0)
set(foreign "")
foreach(line IN LISTS lines)
  # "<address> <type> <demangled name>"
  if(NOT line MATCHES "^[0-9a-fA-F]+ [A-Za-z] (.+)$")
    continue()
  endif()
  set(name "${CMAKE_MATCH_1}")
  if(name MATCHES "^KorvaCustomWD::" OR name MATCHES "^(typeinfo|typeinfo name|vtable) for KorvaCustomWD$"
     OR name MATCHES "^Korva[A-Za-z0-9_]*$")
    math(EXPR api "${api} + 1")
  else()
    list(APPEND foreign "${name}")
  endif()
endforeach()
list(LENGTH foreign count)
if(count GREATER 0)
  list(JOIN foreign "\n  " text)
  message(FATAL_ERROR "${count} exported symbols outside the detector class:\n  ${text}")
endif()
if(api EQUAL 0)
  message(FATAL_ERROR "no exported symbol of KorvaCustomWD found in ${LIB}")
endif()
message("${api} exported symbols, all of the detector's API")
