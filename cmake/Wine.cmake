# The command that runs a Windows program under Wine, with a prefix of its own in PREFIX_DIR, so that
# every run starts from the same set-up: without Wine's diagnostics, without the Mono and Gecko
# installers that a new prefix offers, and without the menu entries it would write into the home folder.
# Sets OUT_VAR to the command, or leaves it unset when LOADER (wine, wine64) is not installed.
function(inutil_wine_command out_var loader prefix_dir)
    find_program(WINE_${loader}_PROGRAM ${loader} PATHS /usr/lib/wine)
    if(WINE_${loader}_PROGRAM)
        set(${out_var}
            env WINEPREFIX=${prefix_dir} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe=
                DISPLAY= ${WINE_${loader}_PROGRAM}
            PARENT_SCOPE)
    endif()
endfunction()
