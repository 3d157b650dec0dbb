# The stub against the built module (mypy's stubtest), then the example script
# against the stub with mypy --strict. Both use the package in PACKAGE_ROOT.
set(ENV{PYTHONPATH} ${PACKAGE_ROOT})
set(ENV{MYPYPATH} ${PACKAGE_ROOT})
set(ENV{PYTHONDONTWRITEBYTECODE} 1)
set(cache ${PACKAGE_ROOT}/mypy-cache)
execute_process(COMMAND ${PYTHON} -m mypy.stubtest moorwinch
                        --allowlist ${CMAKE_CURRENT_LIST_DIR}/stubtest-allowlist.txt
                RESULT_VARIABLE stubtest_result)
execute_process(COMMAND ${PYTHON} -m mypy --strict --cache-dir ${cache} ${EXAMPLE}
                RESULT_VARIABLE mypy_result)
if(NOT stubtest_result EQUAL 0 OR NOT mypy_result EQUAL 0)
    message(FATAL_ERROR "typing check failed: stubtest ${stubtest_result}, mypy ${mypy_result}")
endif()
