# Starts, once before a test run's Windows programs, the Wine session they share, and ends it after
# them. Left to the first program, a session's start made programs started beside it fail now and
# then (status 1, no output), and its services held that test's pipes open.
#   cmake -D ACTION=start|stop -D "WINESERVER=env WINEPREFIX=... wineserver" -D "WINE=env ... wine64"
#         -D WORK_DIR=dir -P wine_session.cmake
# start: a server of the prefix's own, kept up between the programs (and gone by itself 10 minutes
# after the last, should the run be cut short), then the prefix made, or brought up to date, and its
# services started, by Wine's boot. Their output goes to files in WORK_DIR, which they may keep open.
# stop: ends the server and whatever still runs in the prefix.
cmake_minimum_required(VERSION 3.25)

# A session left from a run that was cut short would be the one the programs meet.
execute_process(COMMAND ${WINESERVER} --kill OUTPUT_QUIET ERROR_QUIET)
if(ACTION STREQUAL "stop")
    return()
endif()

# The server needs the prefix's folder, which Wine's boot would make only after it.
string(REGEX MATCH "WINEPREFIX=[^;]+" prefix_setting "${WINE}")
string(REPLACE "WINEPREFIX=" "" prefix "${prefix_setting}")
file(MAKE_DIRECTORY ${WORK_DIR} ${prefix})
function(run_logged step)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status
        INPUT_FILE /dev/null OUTPUT_FILE ${WORK_DIR}/${step}.log ERROR_FILE ${WORK_DIR}/${step}.log)
    if(NOT status STREQUAL "0")
        file(READ ${WORK_DIR}/${step}.log log)
        message(FATAL_ERROR "${ARGN}: ${status}\n${log}")
    endif()
endfunction()
run_logged(server ${WINESERVER} -p600)
run_logged(boot ${WINE} wineboot --init)
