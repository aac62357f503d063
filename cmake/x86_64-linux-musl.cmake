# The release build: static against musl (Debian's musl-tools), whose start-up does little before main.
# The specs file points g++ at musl's headers, start files and libc; CMake passes CMAKE_CXX_FLAGS to
# the compile and the link alike, so it is given once. The program includes only C headers, since
# libstdc++'s are configured for glibc. No system is named: this is no cross build, and the program
# runs here, on x86-64 Linux, without an emulator.
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_CXX_FLAGS_INIT "-specs /usr/lib/x86_64-linux-musl/musl-gcc.specs")
