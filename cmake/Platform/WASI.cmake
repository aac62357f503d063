# CMake 3.25 (Debian 12) knows no WASI platform and warns of it: this file, first on the module path
# that cmake/wasm32-wasi.cmake sets, is the platform for it and for CMake 3.31 (Debian 13) alike. The
# platform needs nothing more; the program's .wasm suffix is one of its settings (ProgramSettings.cmake).
