# Reads a Windows module's export and import tables with objdump:
#   cmake -DMODULE=OBKzcomp.p -DOBJDUMP=objdump -DFORMAT=pei-i386 -P check_pe_tables.cmake
# The module must be a PE DLL of FORMAT that exports `_mod_descrip` alone (by
# that exact name, no ordinal-only entry) and imports only from the system:
# KERNEL32 and the C runtime (msvcrt or the UCRT's api-ms-win-crt-* DLLs).
execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p failed on ${MODULE}")
endif()
set(problems "")

if(NOT dump MATCHES "file format ${FORMAT}\n")
  list(APPEND problems "not a ${FORMAT} file")
endif()
if(NOT dump MATCHES "\nCharacteristics [^\n]*\n(\t[^\n]*\n)*\tDLL\n")
  list(APPEND problems "not a DLL")
endif()

# Exports: the count of the address table and the names of the name table.
string(REGEX MATCH "Number in:\n\tExport Address Table[ \t]+([0-9a-fA-F]+)" ignored "${dump}")
set(export_count "${CMAKE_MATCH_1}")
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n((\t\\[[^\n]*\n)*)" ignored "${dump}")
string(REGEX MATCHALL "\\] [^\n]+" entries "${CMAKE_MATCH_1}")
set(exports "")
foreach(entry IN LISTS entries)
  string(SUBSTRING "${entry}" 2 -1 name)
  list(APPEND exports "${name}")
endforeach()
if(NOT export_count STREQUAL "00000001" OR NOT exports STREQUAL "_mod_descrip")
  list(APPEND problems "exports [${exports}] (${export_count} in the address table), expected only _mod_descrip")
endif()

# Imports: every DLL named in the import table.
string(REGEX MATCHALL "\tDLL Name: [^\n]+" lines "${dump}")
set(imports "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^\tDLL Name: " "" name "${line}")
  list(APPEND imports "${name}")
  string(TOLOWER "${name}" lower)
  if(NOT lower MATCHES "^(kernel32\\.dll|msvcrt\\.dll|ucrtbase\\.dll|api-ms-win-crt-[a-z0-9-]+\\.dll)$")
    list(APPEND problems "imports ${name}")
  endif()
endforeach()
if(NOT imports)
  list(APPEND problems "no import table found")
endif()

if(problems)
  list(JOIN problems "; " text)
  message(FATAL_ERROR "${MODULE}: ${text}")
endif()
message(STATUS "${MODULE}: ${FORMAT}, exports ${exports}, imports ${imports}")
