# Installs the build into a new prefix, then checks the installed page and runs the installed program.
#   BUILD_DIR, CONFIG (the configuration under test), PREFIX, and what check_output.cmake takes but PROGRAM

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --config "${CONFIG}" --prefix "${PREFIX}"
    RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status STREQUAL "0")
    message(FATAL_ERROR "cmake --install failed: ${status}")
endif()
foreach(installed IN ITEMS bin/inutil share/man/man1/inutil.1)
    if(NOT EXISTS "${PREFIX}/${installed}")
        message(FATAL_ERROR "not installed: ${installed}")
    endif()
endforeach()

set(PROGRAM "${PREFIX}/bin/inutil")
include(${CMAKE_CURRENT_LIST_DIR}/check_output.cmake)
