# Cross-compiles the Windows console program with MinGW-w64; its tests run under Wine.
#   INUTIL_MINGW_TRIPLE: i686-w64-mingw32 or x86_64-w64-mingw32
#   INUTIL_WINE: the Wine loader for that width, wine or wine64
# The settings come from the preset, as cache variables; try_compile needs them too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES INUTIL_MINGW_TRIPLE INUTIL_WINE)
set(CMAKE_SYSTEM_NAME Windows)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${INUTIL_MINGW_TRIPLE}")
set(CMAKE_CXX_COMPILER ${INUTIL_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${INUTIL_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${INUTIL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Without Wine the program still builds; only the tests that run it are left out.
include(${CMAKE_CURRENT_LIST_DIR}/Wine.cmake)
inutil_wine_command(CMAKE_CROSSCOMPILING_EMULATOR ${INUTIL_WINE} ${CMAKE_BINARY_DIR}/wine-prefix)
