# Installs the build into a scratch prefix, then configures, builds and runs the consumer
# project against it.  cmake -D BUILD_DIR=... -D WORK_DIR=... -D CONSUMER_DIR=... -D CXX=...
#   [-D CXX_FLAGS=...] [-D LINK_FLAGS=...] -D LIBDIR=... -P check.cmake
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
run("configure" ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX}
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}")
run("build" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)
# No LD_LIBRARY_PATH: the consumer finds the packages by its build path, and they find the layers
# beneath them beside themselves.
run("run" ${WORK_DIR}/build/consumer)
message("${last_output}")
file(REMOVE_RECURSE ${WORK_DIR})
