# moorwinch_man_page(<program target> NAME <one-line summary> [INCLUDE <h2m file>]
#                    [SECTION <n>, default 1] [COMPONENT <install component>, default tools])
# Makes <program>.<n>.gz from the program's --help with help2man at build time and
# installs it (compressed, as Debian wants manual pages). A machine without
# help2man still builds everything else.
find_program(HELP2MAN help2man)
find_program(GZIP gzip)

function(moorwinch_man_page program)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "NAME;INCLUDE;SECTION;COMPONENT" "")
    if(NOT arg_SECTION)
        set(arg_SECTION 1)
    endif()
    if(NOT arg_COMPONENT)
        set(arg_COMPONENT tools)
    endif()
    if(NOT HELP2MAN OR NOT GZIP)
        message(STATUS "help2man or gzip not found: the ${program} man page is not built (scripts/setup installs them)")
        return()
    endif()
    set(page ${CMAKE_CURRENT_BINARY_DIR}/${program}.${arg_SECTION})
    set(include_options "")
    if(arg_INCLUDE)
        set(include_options --include ${arg_INCLUDE})
    endif()
    add_custom_command(
        OUTPUT ${page}.gz
        COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section ${arg_SECTION} --version-string ${PROJECT_VERSION}
                --name ${arg_NAME} ${include_options} --output ${page} $<TARGET_FILE:${program}>
        COMMAND ${GZIP} -9nf ${page}
        DEPENDS ${program} ${arg_INCLUDE}
        COMMENT "Making the ${program} man page with help2man"
        VERBATIM)
    add_custom_target(${program}-man ALL DEPENDS ${page}.gz)
    if(MOORWINCH_INSTALL)
        install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${arg_SECTION} COMPONENT ${arg_COMPONENT})
    endif()
endfunction()
