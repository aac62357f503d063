# Starts, once before a test run's Windows programs, the Wine session they share, and ends it after
# them. Left to the first program, a session's start made programs started beside it fail now and
# then (status 1, no output), and its services held that test's pipes open.
#   cmake -D ACTION=start|stop -D "WINESERVER=env WINEPREFIX=... wineserver" -D "WINE=env ... wine64"
#         -D WORK_DIR=dir -P wine_session.cmake
# start: a server of the prefix's own, kept up between the programs, then the prefix made, or brought
# up to date, and its services started, by Wine's boot. Their output goes to files in WORK_DIR, which
# they may keep open. The server stays in the test run's process group, so that an interrupted run
# (Ctrl-C) ends it, and with it every program of the session; should the run end otherwise without
# stop, it ends by itself 10 minutes after the last program.
# stop: ends the server and whatever still runs in the prefix.
cmake_minimum_required(VERSION 3.25)

string(REGEX MATCH "WINEPREFIX=[^;]+" prefix_setting "${WINE}")
string(REPLACE "WINEPREFIX=" "" prefix "${prefix_setting}")

# A session left from a run that was cut short would be the one the programs meet. Once the server
# has ended, the folder it made for its socket outside the build tree, server-<device>-<inode> of
# the prefix (below /tmp/.wine-<uid>, /tmp/wine-XXXXXX or /run/user/<uid>/wine, by Wine's version),
# is left with a lock file alone: it goes, and so does the folder above it once empty.
execute_process(COMMAND ${WINESERVER} --kill OUTPUT_QUIET ERROR_QUIET)
execute_process(COMMAND ${WINESERVER} --wait OUTPUT_QUIET ERROR_QUIET)
if(EXISTS ${prefix})
    execute_process(COMMAND sh -c [[
        id=$(stat -c %D-%i "$1")
        name=server-${id%-*}-$(printf %x "${id#*-}")
        for folder in "/tmp/.wine-$(id -u)/$name" /tmp/wine-*/"$name" "/run/user/$(id -u)/wine/$name"; do
            [ -d "$folder" ] && rm -f "$folder/lock" && rmdir "$folder" && rmdir "${folder%/*}" 2> /dev/null
        done
        true]] sh ${prefix})
endif()
if(ACTION STREQUAL "stop")
    return()
endif()

# Wine counts a prefix as up to date once its boot has begun, so one whose boot was cut short would
# stay without half of its files ("could not load kernel32.dll"): the prefix bears a mark while no
# boot is under way, and one without it is made anew.
set(boot_finished ${prefix}/.boot-finished)
if(NOT EXISTS ${boot_finished})
    file(REMOVE_RECURSE ${prefix})
endif()
file(REMOVE ${boot_finished})
# The server needs the prefix's folder, which Wine's boot would make only after it.
file(MAKE_DIRECTORY ${WORK_DIR} ${prefix})
execute_process(COMMAND sh -c "\"$@\" --foreground --persistent=600 < /dev/null > server.log 2>&1 & echo $!" sh
        ${WINESERVER}
    WORKING_DIRECTORY ${WORK_DIR} OUTPUT_VARIABLE server_pid OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${WINE} wineboot --init RESULT_VARIABLE status
    INPUT_FILE /dev/null OUTPUT_FILE ${WORK_DIR}/boot.log ERROR_FILE ${WORK_DIR}/boot.log)
# Without the server, Wine's boot would have started one of its own, which no interrupt would reach.
if(NOT status STREQUAL "0" OR NOT EXISTS /proc/${server_pid})
    file(READ ${WORK_DIR}/server.log server_log)
    file(READ ${WORK_DIR}/boot.log boot_log)
    message(FATAL_ERROR "${WINE} wineboot --init: ${status}\n${boot_log}\nserver (${server_pid}):\n${server_log}")
endif()
file(TOUCH ${boot_finished})
