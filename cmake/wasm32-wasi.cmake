# A WebAssembly module for WASI, with Debian's clang, lld and wasi-libc; its tests run it under Node.
# WASI is not POSIX: it has no signals, so the program is built without its write-signal care (CMake
# counts WASI as no UNIX), and nothing of C++'s own library is linked.
set(CMAKE_SYSTEM_NAME WASI)
set(CMAKE_SYSTEM_PROCESSOR wasm32)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET wasm32-wasi)
set(CMAKE_CXX_FLAGS_INIT "-nostdlib++")
list(APPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR})
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

find_program(NODE_PROGRAM node)
if(NODE_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${NODE_PROGRAM} --no-warnings ${CMAKE_CURRENT_LIST_DIR}/../tests/wasi_run.mjs)
endif()
