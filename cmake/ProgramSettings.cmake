# The compile and link settings of the program, in one place, so that the benchmark's empty
# program is built exactly as inutil is.
function(inutil_program_settings target)
    target_compile_features(${target} PRIVATE cxx_std_17)
    set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
    target_compile_options(${target} PRIVATE
        $<$<CXX_COMPILER_ID:GNU,Clang>:-Wall -Wextra -Wpedantic>)
    if(INUTIL_STATIC)
        target_link_options(${target} PRIVATE -static)
    elseif(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" AND NOT APPLE)
        # Nothing here uses libstdc++: a dynamic build need not load it.
        target_link_options(${target} PRIVATE LINKER:--as-needed)
    endif()
endfunction()
