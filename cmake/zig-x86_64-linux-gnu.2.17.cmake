# Release wheels for x86_64: manylinux_2_17 (glibc 2.17 and later).
set(ZIG_TARGET x86_64-linux-gnu.2.17)
include(${CMAKE_CURRENT_LIST_DIR}/zig-toolchain.cmake)
