# x86-64 Linux, static against musl: the release's toolchain settings, for a tree configured by hand.
set(INUTIL_CROSS_TRIPLE x86_64-linux-gnu)
set(INUTIL_MUSL x86_64-linux-musl)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
