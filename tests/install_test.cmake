# Installs the built project into a fresh prefix, checks what landed there, builds the programs in
# install_consumer/ and its C-only project against the installed CMake package, checks that the
# .pc file names the static library's needs, and restores a sample with each of them
# and with the installed command. (.ci/run builds the C one through pkg-config too.)
#
# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DC_COMPILER=... -DCXX_COMPILER=...
#       -DBUILD_TYPE=... [-DSANITIZE_FLAGS=...] -P install_test.cmake
foreach(var BUILD_DIR SOURCE_DIR WORK_DIR C_COMPILER CXX_COMPILER)
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
file(GLOB libDir LIST_DIRECTORIES true ${prefix}/lib*)
list(LENGTH libDir libDirs)
if(NOT libDirs EQUAL 1)
  message(FATAL_ERROR "expected one library folder under ${prefix}, found: ${libDir}")
endif()
foreach(path bin/ravmolt share/man/man1/ravmolt.1 include/ravmolt/ravmolt.h
             include/ravmolt/ravmolt_c.h include/ravmolt/decode_status.h)
  if(NOT EXISTS ${prefix}/${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
foreach(file libravmolt.so.1.0.0 libravmolt.so.1 libravmolt.so libravmolt.a pkgconfig/ravmolt.pc
             cmake/ravmolt/ravmoltConfig.cmake)
  if(NOT EXISTS ${libDir}/${file})
    message(FATAL_ERROR "not installed: ${libDir}/${file}")
  endif()
endforeach()
# The links a loader and a linker follow: the SONAME to the real file, the plain name to the SONAME.
foreach(link libravmolt.so.1:libravmolt.so.1.0.0 libravmolt.so:libravmolt.so.1)
  string(REPLACE ":" ";" pair ${link})
  list(GET pair 0 name)
  list(GET pair 1 target)
  file(READ_SYMLINK ${libDir}/${name} found)
  if(NOT found STREQUAL target)
    message(FATAL_ERROR "${name} links to '${found}', not to ${target}")
  endif()
endforeach()
# The encoder, the tests and the in-tree engine library belong to the source tree only.
file(GLOB_RECURSE strays ${prefix}/*encode* ${prefix}/*test* ${prefix}/*engine*)
if(strays)
  message(FATAL_ERROR "installed but not meant to be: ${strays}")
endif()

set(sample ${SOURCE_DIR}/samples/lighthouse.rvm)
set(original ${SOURCE_DIR}/samples/lighthouse.txt)
set(outputs by-command by-c-path by-c-buffer by-path by-buffer by-static-path by-static-buffer
            by-c-static-path by-c-static-buffer by-plugin)
set(consumerBuild ${WORK_DIR}/consumer)
set(flags)
if(SANITIZE_FLAGS)  # a sanitized library needs the sanitizer runtime in the program too
  list(APPEND flags "-DCMAKE_C_FLAGS=${SANITIZE_FLAGS}" "-DCMAKE_CXX_FLAGS=${SANITIZE_FLAGS}"
       "-DCMAKE_EXE_LINKER_FLAGS=${SANITIZE_FLAGS}")
endif()
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install_consumer -B ${consumerBuild}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER}
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_BUILD_TYPE=${BUILD_TYPE} ${flags})
run(${CMAKE_COMMAND} --build ${consumerBuild})
set(cOnlyBuild ${WORK_DIR}/c-only)
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install_consumer/c_only -B ${cOnlyBuild}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER}
    -DCMAKE_BUILD_TYPE=${BUILD_TYPE} ${flags})
run(${CMAKE_COMMAND} --build ${cOnlyBuild})
# The same C program through `pkg-config --static`, the archive named in place of -lravmolt: the
# .pc file's Libs.private must bring everything else it needs.
find_program(pkgConfig pkg-config)
if(pkgConfig)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${libDir}/pkgconfig
                          ${pkgConfig} --static --cflags --libs ravmolt
                  OUTPUT_VARIABLE pcFlags RESULT_VARIABLE code OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "pkg-config does not find the installed ravmolt.pc")
  endif()
  separate_arguments(pcFlags UNIX_COMMAND "${pcFlags}")
  list(TRANSFORM pcFlags REPLACE "^-lravmolt$" "${libDir}/libravmolt.a")
  separate_arguments(sanitize UNIX_COMMAND "${SANITIZE_FLAGS}")
  run(${C_COMPILER} ${sanitize} ${SOURCE_DIR}/tests/install_consumer/consumer.c ${pcFlags}
      -o ${WORK_DIR}/consumer_pc_static)
  set(pcRun ${WORK_DIR}/consumer_pc_static ${sample} ${WORK_DIR}/by-pc-static-path.txt
            ${WORK_DIR}/by-pc-static-buffer.txt)
  list(APPEND outputs by-pc-static-path by-pc-static-buffer)
endif()

run(${prefix}/bin/ravmolt ${sample} ${WORK_DIR}/by-command.txt)
run(${consumerBuild}/consumer_c ${sample} ${WORK_DIR}/by-c-path.txt ${WORK_DIR}/by-c-buffer.txt)
run(${consumerBuild}/consumer ${sample} ${WORK_DIR}/by-path.txt ${WORK_DIR}/by-buffer.txt)
run(${consumerBuild}/consumer_static ${sample} ${WORK_DIR}/by-static-path.txt
    ${WORK_DIR}/by-static-buffer.txt)
run(${cOnlyBuild}/consumer_c_static ${sample} ${WORK_DIR}/by-c-static-path.txt
    ${WORK_DIR}/by-c-static-buffer.txt)
run(${consumerBuild}/plugin_user ${sample} ${WORK_DIR}/by-plugin.txt)
if(pcRun)
  run(${pcRun})
endif()

foreach(output IN LISTS outputs)
  run(${CMAKE_COMMAND} -E compare_files ${WORK_DIR}/${output}.txt ${original})
endforeach()
message(STATUS "installed package restores ${sample} as ${outputs}")
