# Builds for a Linux machine with Debian's g++-<triple>, statically, against musl where Debian has it for
# that machine and against glibc elsewhere; its tests run the program under qemu's user-mode emulator,
# named explicitly: nothing relies on binfmt_misc.
#   INUTIL_CROSS_TRIPLE: the compiler's triple, e.g. aarch64-linux-gnu (x86_64-linux-gnu for this machine)
#   INUTIL_MUSL: musl-dev's folder under /usr/lib, e.g. aarch64-linux-musl; unset for glibc
#   INUTIL_QEMU: the emulator, e.g. qemu-aarch64; unset to run the program natively
# The settings come from the preset, as cache variables; try_compile needs them too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES INUTIL_CROSS_TRIPLE INUTIL_MUSL INUTIL_QEMU)
# Only another machine makes a cross build, whose program runs only under its emulator; x86-64 Linux
# (the release) is this machine, and its program runs here.
string(REGEX REPLACE "-.*" "" processor "${INUTIL_CROSS_TRIPLE}")
if(NOT processor STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
    set(CMAKE_SYSTEM_NAME Linux)
    set(CMAKE_SYSTEM_PROCESSOR ${processor})
endif()
set(CMAKE_CXX_COMPILER ${INUTIL_CROSS_TRIPLE}-g++)
if(INUTIL_MUSL)
    # The specs file points g++ at musl's headers, start files and libc; CMake passes CMAKE_CXX_FLAGS to
    # the compile and the link alike. The program includes only C headers: libstdc++'s are for glibc.
    # Only a static link leaves out libstdc++.so, which needs glibc: the compiler check links that way too.
    set(CMAKE_CXX_FLAGS_INIT "-specs /usr/lib/${INUTIL_MUSL}/musl-gcc.specs")
    set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
endif()

if(INUTIL_QEMU)
    find_program(QEMU_PROGRAM ${INUTIL_QEMU})
    if(QEMU_PROGRAM)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_PROGRAM})
    endif()
endif()
