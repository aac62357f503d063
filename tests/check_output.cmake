# Runs the program and checks every byte it writes, its exit status 0 and its silence on standard error.
# Written in CMake so that it runs wherever CTest does, through the emulator of a cross build.
#   PROGRAM, EMULATOR (may be empty), STDOUT_KIND (file or pipe), EXPECTED (the file of the expected
#   bytes, tests/expected/lf or crlf), WORK_DIR,
#   PIPE_READER: a command that copies its standard input to its standard output unchanged
# execute_process's OUTPUT_VARIABLE drops the CR of each CR LF, so a pipe's bytes go to a file through a reader.

file(READ "${EXPECTED}" expected_hex HEX)
if(expected_hex STREQUAL "")
    message(FATAL_ERROR "no expected output in ${EXPECTED}")
endif()

file(MAKE_DIRECTORY "${WORK_DIR}")
set(failures "")

# Each command line is ignored: the same bytes come out for all of them.
set(command_line_1 "")
set(command_line_2 --help)
set(command_line_3 -v --version - -- "%s%n%d")
set(command_line_4 "" "a b" "/?")
foreach(n RANGE 1 4)
    set(out_file "${WORK_DIR}/out")
    file(REMOVE "${out_file}")
    # An unquoted list loses its empty elements: each argument goes into the call bracket-quoted, so
    # that an empty one arrives too.
    set(arguments "")
    set(shown "")
    foreach(argument IN LISTS command_line_${n})
        string(APPEND arguments " [==[${argument}]==]")
        string(APPEND shown " '${argument}'")
    endforeach()
    if(STDOUT_KIND STREQUAL "file")
        set(then "RESULT_VARIABLE status")
    else()
        set(then "COMMAND \${PIPE_READER} RESULTS_VARIABLE statuses")
    endif()
    cmake_language(EVAL CODE "execute_process(COMMAND \${EMULATOR} \"\${PROGRAM}\" ${arguments} ${then}
        OUTPUT_FILE \"\${out_file}\" ERROR_VARIABLE err)")
    if(NOT STDOUT_KIND STREQUAL "file")
        list(GET statuses 0 status)
    endif()
    file(READ "${out_file}" out_hex HEX)

    string(LENGTH "${out_hex}" hex_digits)
    math(EXPR bytes "${hex_digits} / 2")
    set(run "run ${n} (${STDOUT_KIND}, arguments:${shown})")
    if(NOT status STREQUAL "0")
        string(APPEND failures "${run}: exit status ${status}\n")
    endif()
    if(NOT err STREQUAL "")
        string(APPEND failures "${run}: wrote to standard error: ${err}\n")
    endif()
    if(NOT out_hex STREQUAL expected_hex)
        string(APPEND failures "${run}: wrote ${bytes} bytes, not the expected ones:\n${out_hex}\n")
    else()
        message(STATUS "${run}: ${bytes} bytes as expected, exit status 0")
    endif()
endforeach()

if(failures)
    message(FATAL_ERROR "${failures}")
endif()
