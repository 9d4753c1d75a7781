# Runs one command that must fail cleanly: a nonzero exit status (not a crash by a signal) with
# output that matches EXPECT. For programs given a file they cannot use, and a header compiled
# where it cannot be.
#
# cmake -DEXPECT=<regex> -P expect_failure.cmake -- program [arguments...]
set(command)
set(seen OFF)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  if(seen)
    list(APPEND command "${CMAKE_ARGV${i}}")
  elseif(CMAKE_ARGV${i} STREQUAL "--")
    set(seen ON)
  endif()
endforeach()
if(NOT command OR NOT DEFINED EXPECT)
  message(FATAL_ERROR "usage: cmake -DEXPECT=<regex> -P expect_failure.cmake -- program [args...]")
endif()

execute_process(COMMAND ${command} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT code MATCHES "^[1-9][0-9]*$")
  message(FATAL_ERROR "expected a failure, got exit status '${code}': ${command}\n${out}")
endif()
if(NOT out MATCHES "${EXPECT}")
  message(FATAL_ERROR "failed (${code}) without saying '${EXPECT}': ${command}\n${out}")
endif()
