# Consumes an installed library as a separate project would, in three ways:
#   find_package(Moorwinch CONFIG), the library inside a shared object of the consumer;
#   pkg-config from that prefix (not the one the library was configured for);
#   add_subdirectory of the source tree (configured only: nothing of the
#   library's own top-level build may reach the parent).
# With BUILD_DIR the build is first installed into WORK_DIR/prefix; with PREFIX an
# installed tree is used as it is (LIBDIR names its library folder, for running),
# and SYSROOT, when given, is the folder a package tree was unpacked into (its
# pkg-config files name the prefix the package installs under).
# CXX is the compiler of the pkg-config build; LDFLAGS from the environment apply.
file(REMOVE_RECURSE ${WORK_DIR})
if(BUILD_DIR)
    set(PREFIX ${WORK_DIR}/prefix)
    execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX} RESULT_VARIABLE rc)
    if(rc)
        message(FATAL_ERROR "install failed: ${rc}")
    endif()
endif()
file(GLOB_RECURSE pc_file ${PREFIX}/moorwinch.pc)
if(NOT pc_file)
    message(FATAL_ERROR "no moorwinch.pc under ${PREFIX}")
endif()
get_filename_component(pc_dir ${pc_file} DIRECTORY)
get_filename_component(lib_dir ${pc_dir} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
if(SYSROOT)
    set(ENV{PKG_CONFIG_SYSROOT_DIR} ${SYSROOT})
endif()
set(ENV{LD_LIBRARY_PATH} "${lib_dir}:${WORK_DIR}/build")

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(rc)
        string(REPLACE ";" " " command "${ARGN}")
        message(FATAL_ERROR "${command} failed (${rc}):\n${out}\n${err}")
    endif()
    set(out "${out}" PARENT_SCOPE)
endfunction()

function(expect_banner what)
    if(NOT out MATCHES "Library build: 44" OR NOT out MATCHES "IO Exception: " OR NOT out MATCHES "History: /nonexistent")
        message(FATAL_ERROR "${what} printed an unexpected banner:\n${out}")
    endif()
    message(STATUS "${what}:\n${out}")
endfunction()

set(src ${SOURCE_DIR}/tests/consumer)
run(${CMAKE_COMMAND} -S ${src} -B ${WORK_DIR}/build -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_CXX_COMPILER=${CXX})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)
expect_banner("find_package consumer")

# The paths pkg-config prints are the plain ones of the prefix.
if(BUILD_DIR)
    run(pkg-config --cflags moorwinch)
    string(STRIP "${out}" out)
    if(NOT out STREQUAL "-I${PREFIX}/include/moorwinch")
        message(FATAL_ERROR "pkg-config --cflags moorwinch printed '${out}', not -I${PREFIX}/include/moorwinch")
    endif()
endif()
run(pkg-config --cflags --libs moorwinch moorwinch-history)
separate_arguments(pc_flags UNIX_COMMAND "${out}")
separate_arguments(ld_flags UNIX_COMMAND "$ENV{LDFLAGS}")
run(${CXX} -std=c++17 ${src}/probe.cpp ${src}/main.cpp ${pc_flags} ${ld_flags} -o ${WORK_DIR}/consumer-pc)
run(${WORK_DIR}/consumer-pc)
expect_banner("pkg-config consumer")

if(BUILD_DIR)
    run(${CMAKE_COMMAND} -S ${src}/subproject -B ${WORK_DIR}/parent -DMOORWINCH_SOURCE_DIR=${SOURCE_DIR}
        -DCMAKE_CXX_COMPILER=${CXX})
endif()
