# The compile and link settings of the program, in one place, for every target it is built for.
option(INUTIL_STATIC "Link the program statically, runtimes included" OFF)
# Stripped as it is linked, a shipped program is the very file that its preset tested: the archives
# carry those bytes. The packages strip their dynamic builds as they install them.
option(INUTIL_STRIP "Strip the program's symbols at link time" OFF)

function(inutil_program_settings target)
    target_compile_features(${target} PRIVATE cxx_std_17)
    set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
    target_compile_options(${target} PRIVATE
        $<$<CXX_COMPILER_ID:GNU,Clang,AppleClang>:-Wall -Wextra -Wpedantic>)
    if(INUTIL_STATIC)
        target_link_options(${target} PRIVATE -static)
    elseif(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF")
        # Nothing here uses libstdc++: a dynamic build need not load it.
        target_link_options(${target} PRIVATE LINKER:--as-needed)
    endif()
    if(INUTIL_STRIP)
        target_link_options(${target} PRIVATE -s)
    endif()
    if(MINGW)
        # The C runtime's own stdio: msvcrt's printf and stream buffer. In C++, MinGW's headers would
        # swap in their own formatter, linked into the program, which hands msvcrt each character
        # apart, so that a file or a pipe gets a write per line instead of the buffer at exit.
        target_compile_definitions(${target} PRIVATE __USE_MINGW_ANSI_STDIO=0)
    endif()
    if(CMAKE_SYSTEM_NAME STREQUAL "WASI")
        # A WASI program is a .wasm module, whichever platform file CMake reads.
        set_target_properties(${target} PROPERTIES SUFFIX .wasm)
    endif()
    if(WIN32 AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        # No link time in the PE header: the same sources give the same bytes.
        target_link_options(${target} PRIVATE LINKER:--no-insert-timestamp)
    endif()
endfunction()
