# The Windows binaries as other programs and Windows itself see them: ravmolt.dll exports the
# functions that ravmolt_c.h declares, by name, and nothing else; it and ravmolt.exe import only
# DLLs that every Windows has, so that neither needs a runtime installed beside it.
#
#   cmake -DLIBRARY=ravmolt.dll -DTOOL=ravmolt.exe -DOBJDUMP=objdump -DHEADER=ravmolt_c.h \
#         -P windows_binaries_test.cmake
cmake_policy(SET CMP0057 NEW)  # if(IN_LIST)
foreach(variable LIBRARY TOOL OBJDUMP HEADER)
  if(NOT ${variable})
    message(FATAL_ERROR "windows_binaries_test.cmake needs -D${variable}=...")
  endif()
endforeach()

# The names in `text` that `pattern` finds, each cut down by `replace` to its `with`, sorted.
function(names_in text pattern replace with result)
  string(REGEX MATCHALL "${pattern}" matches "${text}")
  set(names "")
  foreach(match IN LISTS matches)
    string(REGEX REPLACE "${replace}" "${with}" name "${match}")
    list(APPEND names ${name})
  endforeach()
  list(SORT names)
  set(${result} "${names}" PARENT_SCOPE)
endfunction()

file(READ ${HEADER} header)
names_in("${header}" "RAVMOLT_API[^(]*[ *](ravmolt_[a-z_]+)\\(" ".*[ *](ravmolt_[a-z_]+)\\($" "\\1"
         declared)
if(NOT declared)
  message(FATAL_ERROR "no RAVMOLT_API declarations found in ${HEADER}")
endif()

function(read_headers binary result)
  execute_process(COMMAND ${OBJDUMP} -p ${binary} OUTPUT_VARIABLE text RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${OBJDUMP} -p ${binary} failed")
  endif()
  set(${result} "${text}" PARENT_SCOPE)
endfunction()

# The export table: the lines of "[Ordinal/Name Pointer] Table", one name each.
read_headers(${LIBRARY} libraryText)
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)+" table "${libraryText}")
names_in("${table}" "\\[ *[0-9]+\\] [A-Za-z_0-9@]+" "^.*\\] " "" exported)
if(NOT exported STREQUAL declared)
  message(FATAL_ERROR "ravmolt.dll exports\n  ${exported}\nwhere ravmolt_c.h declares\n  ${declared}")
endif()

# Windows' own DLLs: the system's and the C runtime that ships with every Windows.
set(systemDlls KERNEL32.dll msvcrt.dll ADVAPI32.dll USER32.dll SHELL32.dll ntdll.dll)
string(TOLOWER "${systemDlls}" systemDlls)
foreach(binary ${LIBRARY} ${TOOL})
  read_headers(${binary} text)
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${text}")
  if(NOT imports)
    message(FATAL_ERROR "${binary}: no imports found")
  endif()
  foreach(import IN LISTS imports)
    string(REGEX REPLACE "^DLL Name: " "" dll "${import}")
    string(TOLOWER "${dll}" dll)
    if(NOT dll IN_LIST systemDlls)
      message(FATAL_ERROR "${binary} needs ${dll}, which Windows does not provide")
    endif()
    message(STATUS "${binary} imports ${dll}")
  endforeach()
endforeach()
message(STATUS "ravmolt.dll exports: ${exported}")
