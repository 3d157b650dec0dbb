# One short fuzz run: cmake -DFUZZER=<harness> -DSEEDS=<seed dir> -DSCRATCH=<dir> -P smoke.cmake
# The seeds are copied into SCRATCH/corpus, which the run may grow; findings land
# in SCRATCH/artifacts.
foreach(var FUZZER SEEDS SCRATCH)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "smoke.cmake needs -D${var}=...")
    endif()
endforeach()
file(GLOB seeds ${SEEDS}/*)
if(NOT seeds)
    message(FATAL_ERROR "no seeds in ${SEEDS}")
endif()
file(REMOVE_RECURSE ${SCRATCH})
file(MAKE_DIRECTORY ${SCRATCH}/corpus ${SCRATCH}/artifacts)
file(COPY ${seeds} DESTINATION ${SCRATCH}/corpus)
execute_process(COMMAND ${FUZZER} -max_total_time=3 -timeout=10 -print_final_stats=1
                        -artifact_prefix=${SCRATCH}/artifacts/ ${SCRATCH}/corpus
                RESULT_VARIABLE result
                TIMEOUT 90)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${FUZZER} failed (${result}); artifacts in ${SCRATCH}/artifacts")
endif()
