# Cross build for 64-bit Arm Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu). The target's libraries come through multiarch
# (/usr/lib/aarch64-linux-gnu); its C and C++ runtimes live under
# /usr/aarch64-linux-gnu. Programs built for the target (the test
# discovery, ctest) run through qemu-user, on the C library they were
# linked against: the loader under /usr/aarch64-linux-gnu would otherwise pick
# up the multiarch libc6:arm64, a different build, and hang in its first lock.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu
  -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)

# The target's libraries and packages: under /usr/aarch64-linux-gnu first, then
# in the multiarch folders named by the triplet. Programs are this machine's.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config answers for the target's .pc files alone.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
