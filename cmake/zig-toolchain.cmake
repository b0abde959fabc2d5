# Shared part of the release-wheel toolchains: zig's clang linking against the
# symbol stubs of an old glibc (the version in ZIG_TARGET), so the module loads
# on every Linux from that glibc on. The environment variable TARNWICK_ZIG names
# the zig executable; .ci/wheels sets it to the one in the pinned ziglang.
if(NOT DEFINED ENV{TARNWICK_ZIG})
  message(FATAL_ERROR "set TARNWICK_ZIG to the zig executable of the ziglang package")
endif()
set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-cc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)
set(CMAKE_C_COMPILER_TARGET ${ZIG_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${ZIG_TARGET})
# Strip when linking: the host's strip need not know the target machine.
set(CMAKE_MODULE_LINKER_FLAGS_INIT -s)
