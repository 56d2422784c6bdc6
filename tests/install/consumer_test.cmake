# Run by ctest: install, configure and build the consumer against the prefix, run it.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
# The consumer's compile is the same from run to run: ccache (when the developer has it) keeps
# the case from rebuilding it each time.
find_program(ccache ccache)
set(launcher "-DCMAKE_CXX_COMPILER_LAUNCHER=")
if(ccache)
  set(launcher "-DCMAKE_CXX_COMPILER_LAUNCHER=${ccache}")
endif()
foreach(step
    "${CMAKE_COMMAND};--install;${BUILD_DIR};--prefix;${prefix}"
    "${CMAKE_COMMAND};-S;${CONSUMER_DIR};-B;${WORK_DIR}/build;-G;${GENERATOR};-DCMAKE_PREFIX_PATH=${prefix};-DCMAKE_BUILD_TYPE=Release;${launcher}"
    "${CMAKE_COMMAND};--build;${WORK_DIR}/build"
    "${WORK_DIR}/build/velmora-consumer")
  execute_process(COMMAND ${step} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "step failed (${rc}): ${step}\n${out}${err}")
  endif()
endforeach()
if(NOT out MATCHES "(^|\n)VelmoraCore [0-9]+\\.[0-9]+")
  message(FATAL_ERROR "the consumer printed: ${out}")
endif()
message("${out}")
# The pkg-config file names the same library.
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
execute_process(COMMAND pkg-config --cflags --libs VelmoraCore RESULT_VARIABLE rc OUTPUT_VARIABLE flags ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT flags MATCHES "-lVelmoraCore")
  message(FATAL_ERROR "pkg-config: ${err}${flags}")
endif()
