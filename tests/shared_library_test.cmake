# Checks the shared library as the loader and other programs see it: it exports exactly the C
# functions of <ravmolt/ravmolt_c.h> under the RAVMOLT_1 version node, its SONAME is
# libravmolt.so.<major>, and it needs no library beyond the C and C++ runtimes. Neither it nor the
# static library (ARCHIVE, when given) holds the reference decoder the tests judge by.
#
# cmake -DLIBRARY=path/to/libravmolt.so.1 -DMAJOR=1 [-DARCHIVE=path/to/libravmolt.a]
#       [-DNM=nm -DREADELF=readelf] -P shared_library_test.cmake
foreach(var LIBRARY MAJOR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "shared_library_test.cmake needs -D${var}=...")
  endif()
endforeach()
if(NOT NM)
  set(NM nm)
endif()
if(NOT READELF)
  set(READELF readelf)
endif()

function(capture variable)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "failed (${code}): ${ARGN}\n${err}")
  endif()
  set(${variable} "${out}" PARENT_SCOPE)
endfunction()

# Every defined dynamic symbol, by name: functions (T), data, weak template copies, anything.
capture(symbols ${NM} -D --defined-only --format=posix ${LIBRARY})
string(REGEX MATCHALL "(^|\n)[^ \n]+" names "${symbols}")
list(TRANSFORM names STRIP)
list(SORT names)
set(expected RAVMOLT_1 ravmolt_decoder_create@@RAVMOLT_1 ravmolt_decoder_free@@RAVMOLT_1
             ravmolt_decoder_reset@@RAVMOLT_1 ravmolt_decompress_buffer@@RAVMOLT_1
             ravmolt_decompress_file@@RAVMOLT_1 ravmolt_discard_incomplete_destinations@@RAVMOLT_1
             ravmolt_status_text@@RAVMOLT_1 ravmolt_stream_decode@@RAVMOLT_1
             ravmolt_version@@RAVMOLT_1 ravmolt_version_number@@RAVMOLT_1)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ.\nexpected: ${expected}\nfound:    ${names}")
endif()

# Every symbol, local ones included: the reference decoder is for tests alone.
foreach(library IN ITEMS ${LIBRARY} ${ARCHIVE})
  capture(all ${NM} -C ${library})
  if(all MATCHES "walkTree|BitReader")
    message(FATAL_ERROR "${library} holds the reference decoder")
  endif()
endforeach()

capture(dynamic ${READELF} -d ${LIBRARY})
if(NOT dynamic MATCHES "\\(SONAME\\)[^\n]*\\[libravmolt\\.so\\.${MAJOR}\\]")
  message(FATAL_ERROR "no SONAME libravmolt.so.${MAJOR}:\n${dynamic}")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]]+\\]" needed "${dynamic}")
foreach(entry IN LISTS needed)
  string(REGEX REPLACE ".*\\[(.+)\\]" "\\1" library "${entry}")
  if(NOT library MATCHES "^lib(c|m|stdc\\+\\+|gcc_s|pthread)\\.so\\.[0-9]+$" AND
     NOT library MATCHES "^(libasan|libubsan|ld-linux)")
    message(FATAL_ERROR "libravmolt needs an unexpected library: ${library}")
  endif()
endforeach()
# No RPATH or RUNPATH: installed, the library is found where the system keeps libraries.
if(CHECK_NO_RUNPATH AND dynamic MATCHES "\\((RPATH|RUNPATH)\\)")
  message(FATAL_ERROR "libravmolt carries a search path:\n${dynamic}")
endif()
message(STATUS "${LIBRARY}: exports ${names}; SONAME libravmolt.so.${MAJOR}")
