# Cross-compiles for another Linux machine with Debian's g++-<triple>, statically, so that the program
# runs under qemu's user-mode emulator, named explicitly: nothing relies on binfmt_misc.
#   INUTIL_CROSS_TRIPLE: the GNU triple, e.g. aarch64-linux-gnu
#   INUTIL_QEMU: the emulator, e.g. qemu-aarch64
# The settings come from the preset, as cache variables; try_compile needs them too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES INUTIL_CROSS_TRIPLE INUTIL_QEMU)
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${INUTIL_CROSS_TRIPLE}")
set(CMAKE_CXX_COMPILER ${INUTIL_CROSS_TRIPLE}-g++)

find_program(QEMU_PROGRAM ${INUTIL_QEMU})
if(QEMU_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_PROGRAM})
endif()
