# Finds a static pthreads build of OpenBLAS for the target and records it in
# the cache: OPENBLAS_STATIC (the archive) and OPENBLAS_INCLUDE (the folder
# with its cblas.h). Places, in this order; the first usable one is taken:
#   1. OPENBLAS_ROOT, the CMake variable or else the environment variable:
#      <root>/lib and <root>/include. When set, nothing else is tried.
#   2. pkg-config's openblas.
#   3. Debian's openblas-pthread folders for the target's multiarch triplet.
# A place is usable when a small product built against it links for the target
# and, where the result can run (natively or through the cross-compiling
# emulator), computes right in a pthreads build. The module's workers call the
# library from several threads at once, which a serial build without locking
# does not survive and an OpenMP build would need its runtime for.
# OPENBLAS_STATIC and OPENBLAS_INCLUDE given together on the command line are
# taken as they are.
include_guard(GLOBAL)
find_package(Threads REQUIRED)

set(OPENBLAS_ROOT "" CACHE PATH
  "OpenBLAS installation to link (lib/ and include/ under it); overrides every other place")
set(_openblas_root "${OPENBLAS_ROOT}")
if(_openblas_root STREQUAL "" AND NOT "$ENV{OPENBLAS_ROOT}" STREQUAL "")
  set(_openblas_root "$ENV{OPENBLAS_ROOT}")
endif()
# A root other than the one behind the cached choice: choose again.
if(NOT _openblas_root STREQUAL "${_OPENBLAS_CHOSEN_FOR}")
  unset(OPENBLAS_STATIC CACHE)
  unset(OPENBLAS_INCLUDE CACHE)
endif()

# Sets <out> to the empty string when lib and inc make a working pthreads
# OpenBLAS for the target, else to the reason they do not.
function(_openblas_probe lib inc out)
  set(source [=[
#include <cblas.h>
int main() {
  const float a[4] = {1, 2, 3, 4}, b[4] = {1, 0, 0, 1};
  float c[4] = {0, 0, 0, 0};
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, 2, 2, 2, 1.0f, a, 2, b, 2, 1.0f, c, 2);
  if (!(c[0] == 1 && c[1] == 2 && c[2] == 3 && c[3] == 4)) return 2;
  return openblas_get_parallel() == 1 ? 0 : 3;  // 0 serial, 1 pthreads, 2 OpenMP
}
]=])
  # The source holds semicolons, so it is passed as it is, never through a list.
  if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
    # Nothing can run the target's programs: linking is as far as it goes.
    try_compile(built SOURCE_FROM_CONTENT openblas_probe.cpp "${source}" NO_CACHE
      CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${inc}" LINK_LIBRARIES "${lib}" Threads::Threads m)
    set(ran 0)
  else()
    try_run(ran built SOURCE_FROM_CONTENT openblas_probe.cpp "${source}" NO_CACHE
      CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${inc}" LINK_LIBRARIES "${lib}" Threads::Threads m)
  endif()
  if(NOT built)
    set(${out} "a product through it does not link for ${CMAKE_SYSTEM_PROCESSOR} with pthreads \
alone (another architecture? an OpenMP or 64-bit-integer build?)" PARENT_SCOPE)
  elseif(ran STREQUAL "3")
    set(${out} "not a pthreads build" PARENT_SCOPE)
  elseif(ran STREQUAL "2")
    set(${out} "computes a wrong product" PARENT_SCOPE)
  elseif(NOT ran STREQUAL "0")
    set(${out} "a program linked with it fails to run (${ran})" PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

# Tries each archive name under libdirs with cblas.h under incdirs; on the
# first usable one sets _openblas_lib and _openblas_inc in the caller. Each
# rejection goes on the list _openblas_rejected.
macro(_openblas_try origin libdirs names incdirs)
  # NO_CACHE searches skip a variable that is already set.
  unset(_inc)
  find_path(_inc cblas.h PATHS ${incdirs} NO_DEFAULT_PATH NO_CACHE ${ARGN})
  foreach(_name IN ITEMS ${names})
    if(_openblas_lib)
      break()
    endif()
    unset(_lib)
    find_library(_lib NAMES ${_name} PATHS ${libdirs} NO_DEFAULT_PATH NO_CACHE ${ARGN})
    if(_lib AND NOT _inc)
      list(APPEND _openblas_rejected "${_lib} (${origin}): no cblas.h in ${incdirs}")
    elseif(_lib)
      message(CHECK_START "OpenBLAS: trying ${_lib} (${origin})")
      _openblas_probe("${_lib}" "${_inc}" _why)
      if(_why STREQUAL "")
        message(CHECK_PASS "usable")
        set(_openblas_lib "${_lib}")
        set(_openblas_inc "${_inc}")
        set(_openblas_origin "${origin}")
      else()
        message(CHECK_FAIL "${_why}")
        list(APPEND _openblas_rejected "${_lib} (${origin}): ${_why}")
      endif()
    endif()
  endforeach()
endmacro()

# Debian's multiarch triplet of the target, and its name for the architecture.
set(_openblas_triplet "${CMAKE_LIBRARY_ARCHITECTURE}")
if(NOT _openblas_triplet)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-multiarch
    OUTPUT_VARIABLE _openblas_triplet OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(_openblas_debian_package libopenblas-pthread-dev)
if(CMAKE_CROSSCOMPILING)
  string(REGEX REPLACE "-.*" "" _cpu "${_openblas_triplet}")
  set(_debian_arch_x86_64 amd64)
  set(_debian_arch_aarch64 arm64)
  set(_debian_arch_powerpc64le ppc64el)
  if(DEFINED _debian_arch_${_cpu})
    set(_cpu "${_debian_arch_${_cpu}}")
  endif()
  string(APPEND _openblas_debian_package ":${_cpu}")
endif()

set(_openblas_origin "")
if(NOT (OPENBLAS_STATIC AND OPENBLAS_INCLUDE))
  set(_openblas_lib "")
  set(_openblas_rejected "")
  if(NOT _openblas_root STREQUAL "")
    # The root names a folder on this machine, never one inside a sysroot.
    _openblas_try("OPENBLAS_ROOT" "${_openblas_root}/lib;${_openblas_root}/lib64"
      "libopenblas.a;libopenblasp.a" "${_openblas_root}/include;${_openblas_root}/include/openblas"
      NO_CMAKE_FIND_ROOT_PATH)
    if(NOT _openblas_lib AND NOT _openblas_rejected)
      list(APPEND _openblas_rejected
        "OPENBLAS_ROOT=${_openblas_root}: no libopenblas.a in ${_openblas_root}/lib")
    endif()
  else()
    find_package(PkgConfig QUIET)
    if(PKG_CONFIG_FOUND)
      pkg_check_modules(_openblas_pc QUIET openblas)
    endif()
    if(_openblas_pc_FOUND)
      pkg_get_variable(_pc_libdir openblas libdir)
      pkg_get_variable(_pc_includedir openblas includedir)
      set(_pc_names libopenblasp.a)
      foreach(_pc_lib IN LISTS _openblas_pc_LIBRARIES)
        if(_pc_lib MATCHES "^openblas")
          list(PREPEND _pc_names "lib${_pc_lib}.a")
        endif()
      endforeach()
      list(REMOVE_DUPLICATES _pc_names)
      _openblas_try("pkg-config openblas" "${_openblas_pc_LIBRARY_DIRS};${_pc_libdir}"
        "${_pc_names}" "${_openblas_pc_INCLUDE_DIRS};${_pc_includedir};${_pc_includedir}/openblas"
        NO_CMAKE_FIND_ROOT_PATH)
    endif()
    if(NOT _openblas_lib AND _openblas_triplet)
      _openblas_try("Debian's ${_openblas_debian_package}"
        "/usr/lib/${_openblas_triplet}/openblas-pthread" "libopenblas.a"
        "/usr/include/${_openblas_triplet}/openblas-pthread")
    endif()
  endif()

  if(NOT _openblas_lib)
    list(TRANSFORM _openblas_rejected PREPEND "\n  ")
    if(NOT _openblas_rejected)
      set(_openblas_rejected "\n  nothing in pkg-config's openblas or in /usr/lib/${_openblas_triplet}/openblas-pthread")
    endif()
    string(JOIN "" _openblas_rejected ${_openblas_rejected})
    message(FATAL_ERROR
      "No static pthreads build of OpenBLAS for ${CMAKE_SYSTEM_PROCESSOR} was found. Candidates:"
      "${_openblas_rejected}\n"
      "On Debian or Ubuntu, install it with:\n"
      "  apt-get install ${_openblas_debian_package}\n"
      "Elsewhere, point the build at an OpenBLAS built with USE_THREAD=1 whose lib/ holds "
      "libopenblas.a and include/ holds cblas.h:\n"
      "  cmake -DOPENBLAS_ROOT=/path/to/openblas ...   or   OPENBLAS_ROOT=/path/to/openblas pip install .")
  endif()
  set(OPENBLAS_STATIC "${_openblas_lib}" CACHE FILEPATH "Static pthreads OpenBLAS archive linked into the module" FORCE)
  set(OPENBLAS_INCLUDE "${_openblas_inc}" CACHE PATH "Folder with that OpenBLAS's cblas.h" FORCE)
  string(PREPEND _openblas_origin " (")
  string(APPEND _openblas_origin ")")
endif()
message(STATUS "OpenBLAS: ${OPENBLAS_STATIC}${_openblas_origin}")
set(_OPENBLAS_CHOSEN_FOR "${_openblas_root}" CACHE INTERNAL "")
