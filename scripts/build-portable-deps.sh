#!/usr/bin/env bash
# Prepares the folder cmake/zig-toolchain.cmake builds from, for one architecture of the portable
# wheels: zig's compiler for that architecture and glibc 2.28, and libsodium and simdjson built
# with it from Debian's source packages (`apt-get source`, checked against the archive's signed
# indexes, Debian's patches applied) as static, position-independent libraries whose symbols are
# all hidden. The folder is kept, and reused, while the sources, zig, this script and the
# toolchain file are the same.
# For aarch64 it also unpacks Debian's arm64 Python into build/portable/aarch64/debian-root (its
# pyconfig.h is needed to build; the interpreter runs the wheel under qemu-aarch64-static).
# Usage: build-portable-deps.sh ARCH PYTHON DIR   (ARCH x86_64 or aarch64; PYTHON with ziglang,
# cmake and ninja installed, and of the same version as the Debian python3 whose headers it uses)
set -euo pipefail
arch="$1"
py="$2"
mkdir -p "$3"
root=$(cd "$3" && pwd)
glibc=2.28
target="$arch-linux-gnu.$glibc"
repo=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "$(dirname "$py")" && pwd)
cache="$(pwd)/build/portable"
export PATH="$bin:$PATH"

src="$cache/src"
if [ ! -f "$src/.fetched" ]; then
  rm -rf "$src"
  mkdir -p "$src"
  (cd "$src" && apt-get source -qq libsodium simdjson)
  # libsodium's source package has no configure script: Debian's build makes it the same way.
  (cd "$src"/libsodium-*/ && autoreconf -fi >/dev/null 2>&1)
  touch "$src/.fetched"
fi
sodium_src=$(echo "$src"/libsodium-*/)
simdjson_src=$(echo "$src"/simdjson-*/)

zig=$("$py" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
pyver=$("$py" -c 'import sysconfig; print(sysconfig.get_python_version())')
key=$( (echo "$target $pyver"; "$zig" version; ls "$src"/*.dsc; cat "$0" "$repo/cmake/zig-toolchain.cmake") | sha256sum)
if [ -f "$root/key" ] && [ "$(cat "$root/key")" = "$key" ]; then
  echo "portable $arch: reusing $root"
  exit 0
fi
rm -rf "$root/bin" "$root/prefix" "$root/pyinclude" "$root/build" "$root/key"
mkdir -p "$root/bin" "$root/prefix" "$root/pyinclude" "$root/build"
echo "$target" >"$root/target"

# zig's cache lives beside the folders, so a rebuild reuses its libc++ and glibc stubs.
for tool in cc c++ ar ranlib; do
  case "$tool" in
    cc | c++) args="$tool -target $target" ;;
    *) args="$tool" ;;
  esac
  printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR=%q ZIG_LOCAL_CACHE_DIR=%q exec %q %s "$@"\n' \
    "$cache/zig-cache" "$cache/zig-cache" "$zig" "$args" >"$root/bin/$tool"
  chmod +x "$root/bin/$tool"
done

# Python.h takes the interpreter's configuration from <TRIPLET/pythonX.Y/pyconfig.h> on Debian: the
# build machine's for x86-64, that of Debian's arm64 package for aarch64.
case "$arch" in
  x86_64) pyconfig_dir=/usr/include/x86_64-linux-gnu ;;
  aarch64)
    # With the interpreter and what its standard library loads, so that the wheel can be run under
    # qemu-aarch64-static too.
    "$repo/scripts/fetch-debian-root.sh" arm64 "$cache/aarch64/debian-root" "libpython$pyver-dev" \
      "python$pyver-minimal" "libpython$pyver-minimal" "libpython$pyver-stdlib" libc6 libgcc-s1 libstdc++6 \
      libexpat1 zlib1g libssl3 libffi8 libbz2-1.0 liblzma5 libcrypt1 libuuid1
    pyconfig_dir="$cache/aarch64/debian-root/usr/include/aarch64-linux-gnu"
    ;;
  *) echo "build-portable-deps: unknown architecture $arch" >&2; exit 2 ;;
esac
mkdir -p "$root/pyinclude/$arch-linux-gnu/python$pyver"
cp "$pyconfig_dir/python$pyver/pyconfig.h" "$root/pyinclude/$arch-linux-gnu/python$pyver/"

jobs=$(nproc)
# libsodium: SODIUM_STATIC leaves its functions without an export attribute, so -fvisibility=hidden
# hides them all.
# Its build talks a lot: the output is kept in a file and shown when the build fails.
mkdir -p "$root/build/libsodium"
if ! (
  cd "$root/build/libsodium"
  "$sodium_src/configure" --quiet --host="$arch-linux-gnu" --prefix="$root/prefix" --libdir="$root/prefix/lib" \
    --disable-shared --enable-static --with-pic --disable-dependency-tracking \
    CC="$root/bin/cc" AR="$root/bin/ar" RANLIB="$root/bin/ranlib" \
    CFLAGS="-O2 -fvisibility=hidden -DSODIUM_STATIC"
  make -j "$jobs"
  make install
) >"$root/libsodium-build.log" 2>&1; then
  tail -n 50 "$root/libsodium-build.log" >&2
  echo "build-portable-deps: libsodium did not build for $target (log: $root/libsodium-build.log)" >&2
  exit 1
fi
# simdjson by its own CMake project, with this toolchain. Its AVX-512 kernel does not compile
# with clang 18 and newer (its functions lack the evex512 target feature); the AVX2 kernel serves
# those processors instead.
VELM_PORTABLE_ROOT="$root" cmake -S "$simdjson_src" -B "$root/build/simdjson" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/zig-toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_SHARED_LIBS=OFF -DSIMDJSON_DEVELOPER_MODE=OFF -DSIMDJSON_ENABLE_THREADS=ON -DSIMDJSON_AVX512_ALLOWED=OFF \
  -DCMAKE_INSTALL_PREFIX="$root/prefix" -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
cmake --build "$root/build/simdjson" -j "$jobs" >/dev/null
cmake --install "$root/build/simdjson" >/dev/null
rm -rf "$root/build"
echo "$key" >"$root/key"
echo "portable $arch: built libsodium and simdjson for $target in $root/prefix"
