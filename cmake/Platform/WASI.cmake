# What CMake needs to know of WASI, which it does not know itself: a program is a .wasm module.
set(CMAKE_EXECUTABLE_SUFFIX .wasm)
