# The portable build's toolchain: zig's clang with its own libc++ and the glibc of a chosen version
# and architecture, so that the binaries need nothing newer from the target system than that glibc.
# scripts/build-portable-deps.sh prepares a folder per target and names it in VELM_PORTABLE_ROOT
# (environment, so that CMake's try-compile projects see it too). That folder holds:
#   bin/cc, bin/c++, bin/ar, bin/ranlib   zig's tools for the target (e.g. aarch64-linux-gnu.2.28)
#   target                                the zig target, one line
#   prefix/                               libsodium and simdjson, static and position-independent
#   pyinclude/                            the target's pyconfig.h, where Python.h looks for it
# Usage: VELM_PORTABLE_ROOT=DIR cmake -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake ...
if(NOT DEFINED ENV{VELM_PORTABLE_ROOT})
  message(FATAL_ERROR "zig-toolchain.cmake: set VELM_PORTABLE_ROOT (scripts/build-portable-deps.sh prepares it)")
endif()
set(_root "$ENV{VELM_PORTABLE_ROOT}")
file(STRINGS "${_root}/target" _target LIMIT_COUNT 1)
string(REGEX MATCH "^[^-]+" _arch "${_target}")

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR "${_arch}")
set(CMAKE_C_COMPILER "${_root}/bin/cc")
set(CMAKE_CXX_COMPILER "${_root}/bin/c++")
set(CMAKE_ASM_COMPILER "${_root}/bin/cc")
set(CMAKE_AR "${_root}/bin/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${_root}/bin/ranlib" CACHE FILEPATH "")

# Everything linked in is hidden: only the modules' PyInit_ functions leave the binaries.
set(CMAKE_C_VISIBILITY_PRESET hidden)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_C_FLAGS_INIT "-isystem ${_root}/pyinclude")
set(CMAKE_CXX_FLAGS_INIT "-isystem ${_root}/pyinclude")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/portable-module.map")

# The third-party libraries come from the prefix only, never from the build machine.
set(ENV{PKG_CONFIG_LIBDIR} "${_root}/prefix/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_FIND_ROOT_PATH "${_root}/prefix")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(simdjson_DIR "${_root}/prefix/lib/cmake/simdjson" CACHE PATH "")
