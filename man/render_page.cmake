# Renders one man page (cmake -P, from man/CMakeLists.txt): scdoc turns
# SOURCE into OUTPUT, and gzip -9n makes OUTPUT.gz of it, with neither a
# name nor a time in its header. Given SCDOC, GZIP, GIT (may be empty),
# SOURCE and OUTPUT.
#
# The page's date is SOURCE_DATE_EPOCH when the build's environment sets it
# (Debian's package builders do), else the time of the last commit of the
# page, else the source file's time: the same sources make the same bytes
# on any day.
if("$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
    set(epoch $ENV{SOURCE_DATE_EPOCH})
else()
    set(epoch "")
    if(GIT)
        get_filename_component(source_dir ${SOURCE} DIRECTORY)
        execute_process(COMMAND ${GIT} log -1 --format=%ct -- ${SOURCE}
            WORKING_DIRECTORY ${source_dir}
            OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
        if(NOT status EQUAL 0 OR NOT epoch MATCHES "^[0-9]+$")
            set(epoch "")
        endif()
    endif()
    if(epoch STREQUAL "")
        file(TIMESTAMP ${SOURCE} epoch "%s" UTC)
    endif()
    set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()

# Written under other names first, so that a failed run leaves no page that
# looks made.
execute_process(COMMAND ${SCDOC} INPUT_FILE ${SOURCE} OUTPUT_FILE ${OUTPUT}.new
    ERROR_VARIABLE scdoc_error RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    file(REMOVE ${OUTPUT}.new)
    message(FATAL_ERROR "scdoc cannot render ${SOURCE}: ${scdoc_error}")
endif()
# The man macros turn hyphenation back on at .TH, after scdoc's .nh, and
# would break names such as STATION_UA_USER or orvanel_station at a line's
# end: .nh again after the title. Nor does a line end after a '-', which
# would split paths and options (/run/station-tls, --write-config).
file(READ ${OUTPUT}.new roff)
string(REGEX REPLACE "(\n\\.TH [^\n]*\n)" "\\1.nh\n.cflags 0 -\n" roff "${roff}")
file(WRITE ${OUTPUT}.new "${roff}")
execute_process(COMMAND ${GZIP} -9n -c ${OUTPUT}.new OUTPUT_FILE ${OUTPUT}.gz.new RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    file(REMOVE ${OUTPUT}.new ${OUTPUT}.gz.new)
    message(FATAL_ERROR "gzip cannot compress ${OUTPUT}")
endif()
file(RENAME ${OUTPUT}.new ${OUTPUT})
file(RENAME ${OUTPUT}.gz.new ${OUTPUT}.gz)
