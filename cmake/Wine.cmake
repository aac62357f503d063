# The command that runs a Windows program under Wine, with a prefix of its own in PREFIX_DIR, so that
# every run starts from the same set-up: without Wine's diagnostics, without the Mono and Gecko
# installers that a new prefix offers, and without the menu entries it would write into the home folder.
# Where the kernel runs no 32-bit x86 program, 32-bit Wine runs under qemu-i386, in a namespace of its
# own (with-qemu-i386.sh).
# Sets OUT_VAR to the command, or leaves it unset when LOADER (wine, wine64) is not installed. When it
# is installed but cannot start on this machine, either way, leaves OUT_VAR unset and says why in
# INUTIL_WINE_CANNOT_START.
function(inutil_wine_command out_var loader prefix_dir)
    find_program(WINE_${loader}_PROGRAM ${loader} PATHS /usr/lib/wine)
    if(NOT WINE_${loader}_PROGRAM)
        return()
    endif()
    set(runner "")
    execute_process(COMMAND ${WINE_${loader}_PROGRAM} --version
        RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE error ERROR_STRIP_TRAILING_WHITESPACE)
    if(NOT status STREQUAL "0")
        find_program(QEMU_I386_PROGRAM qemu-i386)
        set(runner sh ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/with-qemu-i386.sh ${QEMU_I386_PROGRAM})
        execute_process(COMMAND ${runner} ${WINE_${loader}_PROGRAM} --version
            RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE runner_error ERROR_STRIP_TRAILING_WHITESPACE)
        string(APPEND error ", nor under qemu-i386: ${runner_error}")
    endif()
    if(status STREQUAL "0")
        set(${out_var}
            env WINEPREFIX=${prefix_dir} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe=
                DISPLAY= ${runner} ${WINE_${loader}_PROGRAM}
            PARENT_SCOPE)
    else()
        set(INUTIL_WINE_CANNOT_START "${loader} does not start on this machine: ${error}" PARENT_SCOPE)
    endif()
endfunction()
