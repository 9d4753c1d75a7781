# Installs the built project into a fresh prefix, checks what landed there, builds the program in
# install_consumer/ against the installed CMake package, and restores a sample with it through
# both public calls and with the installed command.
#
# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DCXX_COMPILER=... -DBUILD_TYPE=...
#       [-DSANITIZE_FLAGS=...] -P install_test.cmake
foreach(var BUILD_DIR SOURCE_DIR WORK_DIR CXX_COMPILER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "install_test.cmake needs -D${var}=...")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "failed (${code}): ${ARGN}\n${out}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# GNUInstallDirs may choose lib or lib64; everything else has a fixed place.
file(GLOB config ${prefix}/lib*/cmake/ravmolt/ravmoltConfig.cmake)
file(GLOB library ${prefix}/lib*/libravmolt_engine.a)
foreach(path bin/ravmolt share/man/man1/ravmolt.1 include/ravmolt/ravmolt.h
             include/ravmolt/decode_status.h)
  if(NOT EXISTS ${prefix}/${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
if(NOT config OR NOT library)
  message(FATAL_ERROR "the library or its CMake package was not installed")
endif()
# The encoder and the tests belong to the source tree only.
file(GLOB_RECURSE strays ${prefix}/*encode* ${prefix}/*test*)
if(strays)
  message(FATAL_ERROR "installed but not meant to be: ${strays}")
endif()

set(consumerBuild ${WORK_DIR}/consumer)
set(flags)
if(SANITIZE_FLAGS)  # a sanitized library needs the sanitizer runtime in the program too
  list(APPEND flags "-DCMAKE_CXX_FLAGS=${SANITIZE_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${SANITIZE_FLAGS}")
endif()
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install_consumer -B ${consumerBuild}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    -DCMAKE_BUILD_TYPE=${BUILD_TYPE} ${flags})
run(${CMAKE_COMMAND} --build ${consumerBuild})

set(sample ${SOURCE_DIR}/samples/lighthouse.rvm)
set(original ${SOURCE_DIR}/samples/lighthouse.txt)
run(${consumerBuild}/consumer ${sample} ${WORK_DIR}/by-path.txt ${WORK_DIR}/by-buffer.txt)
run(${prefix}/bin/ravmolt ${sample} ${WORK_DIR}/by-command.txt)
foreach(output by-path by-buffer by-command)
  run(${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/${output}.txt ${original})
endforeach()
message(STATUS "installed package restores ${sample} through both calls and the command")
