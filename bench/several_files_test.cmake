# ravmolt_bench given several files: each file's benchmarks restore that file, whole, however
# many files were named before it (their storage must stay in place as more are read).
#
#   cmake -DBENCH=ravmolt_bench -DENCODER=ravmolt-encode -DWORK=folder "-DINPUTS=a;b;c"
#         -P several_files_test.cmake
foreach(variable BENCH ENCODER WORK INPUTS)
  if(NOT ${variable})
    message(FATAL_ERROR "several_files_test.cmake needs -D${variable}=...")
  endif()
endforeach()

file(MAKE_DIRECTORY ${WORK})
set(files "")
set(index 0)
foreach(input IN LISTS INPUTS)
  math(EXPR index "${index} + 1")
  set(file ${WORK}/file${index}.rvm)
  execute_process(COMMAND ${EMULATOR} ${ENCODER} ${input} ${file} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${ENCODER} ${input} failed")
  endif()
  file(SIZE ${input} size${index})
  list(APPEND files ${file})
endforeach()

execute_process(COMMAND ${EMULATOR} ${BENCH} --benchmark_filter=^fast/|^treeWalk/
                        --benchmark_min_time=0.001 --benchmark_format=json ${files}
                OUTPUT_VARIABLE report RESULT_VARIABLE failed ERROR_VARIABLE errors)
if(failed)
  message(FATAL_ERROR "${BENCH} failed: ${errors}")
endif()

string(JSON count LENGTH "${report}" benchmarks)
math(EXPR expected "2 * ${index}")
if(NOT count EQUAL expected)
  message(FATAL_ERROR "${count} benchmarks ran, expected ${expected}")
endif()
math(EXPR last "${count} - 1")
foreach(at RANGE ${last})
  string(JSON name GET "${report}" benchmarks ${at} name)
  string(JSON error ERROR_VARIABLE none GET "${report}" benchmarks ${at} error_message)
  if(NOT none)
    message(FATAL_ERROR "${name}: ${error}")
  endif()
  string(JSON restored GET "${report}" benchmarks ${at} restored)
  string(REGEX REPLACE "^.*/file([0-9]+)\\.rvm$" "\\1" which "${name}")
  if(NOT restored EQUAL size${which})
    message(FATAL_ERROR "${name} restored ${restored} bytes, expected ${size${which}}")
  endif()
  message(STATUS "${name}: ${restored} bytes restored")
endforeach()
