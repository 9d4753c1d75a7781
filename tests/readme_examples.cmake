# Builds the C and C++ examples of the README's "Using the library" section exactly as they are
# printed there, against the built shared library, and runs each in a folder holding the sample as
# report.rvm: both must restore it into report.txt and print it on standard output.
#
# cmake -DSOURCE_DIR=... -DWORK_DIR=... -DLIBRARY=.../libravmolt.so -DC_COMPILER=...
#       -DCXX_COMPILER=... [-DSANITIZE_FLAGS=...] -P readme_examples.cmake
foreach(var SOURCE_DIR WORK_DIR LIBRARY C_COMPILER CXX_COMPILER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "readme_examples.cmake needs -D${var}=...")
  endif()
endforeach()

file(READ ${SOURCE_DIR}/README.md readme)
string(FIND "${readme}" "\n### Using the library\n" start)
if(start LESS 0)
  message(FATAL_ERROR "README.md has no \"Using the library\" section")
endif()
string(SUBSTRING "${readme}" ${start} -1 section)
string(FIND "${section}" "\n## " end)
string(SUBSTRING "${section}" 0 ${end} section)

# The one block of the section fenced as ```<language>.
function(example language variable)
  string(FIND "${section}" "\n```${language}\n" open)
  if(open LESS 0)
    message(FATAL_ERROR "no ${language} example in the README's \"Using the library\" section")
  endif()
  string(LENGTH "\n```${language}\n" fence)
  math(EXPR open "${open} + ${fence}")
  string(SUBSTRING "${section}" ${open} -1 rest)
  string(FIND "${rest}" "\n```" close)
  string(SUBSTRING "${rest}" 0 ${close} code)
  set(${variable} "${code}\n" PARENT_SCOPE)
endfunction()

get_filename_component(libDir ${LIBRARY} DIRECTORY)
separate_arguments(sanitize UNIX_COMMAND "${SANITIZE_FLAGS}")
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
file(READ ${SOURCE_DIR}/samples/lighthouse.txt original)

foreach(kind c:C_COMPILER:-std=c99 cpp:CXX_COMPILER:-std=c++20)
  string(REPLACE ":" ";" kind ${kind})
  list(GET kind 0 language)
  list(GET kind 1 compiler)
  list(GET kind 2 standard)
  example(${language} code)
  set(dir ${WORK_DIR}/${language})
  file(MAKE_DIRECTORY ${dir})
  file(WRITE ${dir}/example.${language} "${code}")
  execute_process(COMMAND ${${compiler}} ${standard} -Wall -Wextra -Wpedantic -Werror ${sanitize}
                          -I${SOURCE_DIR}/include example.${language} -L${libDir} -lravmolt
                          -Wl,-rpath,${libDir} -o example
                  WORKING_DIRECTORY ${dir} RESULT_VARIABLE code ERROR_VARIABLE errors)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "the README's ${language} example does not compile:\n${errors}")
  endif()
  file(COPY_FILE ${SOURCE_DIR}/samples/lighthouse.rvm ${dir}/report.rvm)
  execute_process(COMMAND ${dir}/example WORKING_DIRECTORY ${dir} RESULT_VARIABLE code
                  OUTPUT_VARIABLE printed)
  file(READ ${dir}/report.txt restored)
  if(NOT code EQUAL 0 OR NOT restored STREQUAL original OR NOT printed STREQUAL original)
    message(FATAL_ERROR "the README's ${language} example did not restore the sample (exit ${code})")
  endif()
endforeach()
message(STATUS "the README's C and C++ examples compile, run and restore the sample")
