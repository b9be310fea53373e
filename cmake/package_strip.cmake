# Run by cpack once the package's files are staged: strips the programs as
# Debian's dh_strip does, symbols and the compiler's .comment and .note
# sections (CPack's own stripping leaves the sections).
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(file IN LISTS staged)
    if(IS_SYMLINK "${file}")
        continue()
    endif()
    file(READ "${file}" magic LIMIT 4 HEX)
    if(magic STREQUAL "7f454c46")
        execute_process(COMMAND "${CPACK_STATION_STRIP}" --remove-section=.comment --remove-section=.note
                                --strip-unneeded "${file}"
                        RESULT_VARIABLE status)
        if(NOT status EQUAL 0)
            message(FATAL_ERROR "${CPACK_STATION_STRIP} could not strip ${file}")
        endif()
    endif()
endforeach()
