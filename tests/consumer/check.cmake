# Installs the built library into an empty prefix, then configures, builds and
# runs a separate small project that finds it with find_package(Moorwinch CONFIG).
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
                RESULT_VARIABLE rc)
if(rc)
    message(FATAL_ERROR "install failed: ${rc}")
endif()
foreach(step
        "${CMAKE_COMMAND};-S;${SOURCE_DIR}/tests/consumer;-B;${WORK_DIR}/build;-DCMAKE_PREFIX_PATH=${prefix}"
        "${CMAKE_COMMAND};--build;${WORK_DIR}/build"
        "${WORK_DIR}/build/consumer")
    execute_process(COMMAND ${step} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(rc)
        message(FATAL_ERROR "${step} failed (${rc}):\n${out}\n${err}")
    endif()
endforeach()
if(NOT out MATCHES "Library build: 44")
    message(FATAL_ERROR "consumer printed an unexpected banner:\n${out}")
endif()
message(STATUS "consumer output:\n${out}")
