#!/usr/bin/env bash
# Builds the release files into OUT: the sdist, then from that sdist one cp39-abi3 wheel per
# architecture, manylinux_2_28_x86_64 and manylinux_2_28_aarch64. The sdist is unpacked read-only
# before the wheels are built, so a file the sdist lacks, or a build that writes into its source
# tree, fails here. Each wheel is built with zig for glibc 2.28 through cmake/zig-toolchain.cmake,
# with libsodium and simdjson from Debian's sources linked in (scripts/build-portable-deps.sh), so
# its binaries need glibc alone. The tag is manylinux_2_28 even where the binaries would allow an
# older one: scores come from the C library's sinf, and no older glibc has been checked to give
# the same bits.
# The aarch64 wheel is written only when it scores the same as the x86-64 one, bit for bit, on a
# fixed scenario (scripts/score-scenario.py) run under qemu-aarch64-static with Debian's arm64
# Python; otherwise it stays in build/wheels/aarch64 and the differences are printed.
# Usage: build-wheels.sh PYTHON OUT (PYTHON with build, wheel, auditwheel, ziglang, cmake and
# ninja installed)
set -euo pipefail
py="$1"
out="$2"
bin=$(cd "$(dirname "$py")" && pwd)
repo=$(pwd)
work=build/wheels
export PATH="$bin:$PATH"  # cmake and ninja

[ -d "$work" ] && chmod -R u+w "$work"
rm -rf "$work" "$out"
mkdir -p "$work/src" "$out"

"$py" -m build --sdist --outdir "$out" .
tar -xzf "$out"/velm_qor-*.tar.gz -C "$work/src"
src=$(cd "$work"/src/velm_qor-* && pwd)
chmod -R a-w "$src"

# Runs a command with the sdist's folder read-only, also for root (which permission bits do not
# stop), through a read-only bind mount in a private mount namespace.
read_only_source() {
  if [ "$(id -u)" -ne 0 ]; then
    "$@"
  elif unshare --mount --propagation private true 2>/dev/null; then
    unshare --mount --propagation private sh -c \
      'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" && shift && exec "$@"' _ "$src" "$@"
  else
    echo "build-wheels: cannot mount the source read-only here; building from it writable" >&2
    "$@"
  fi
}

for arch in x86_64 aarch64; do
  root="$repo/build/portable/$arch"
  ./scripts/build-portable-deps.sh "$arch" "$py" "$root"
  mkdir -p "$work/$arch/linux"
  read_only_source env VELM_PORTABLE_ROOT="$root" \
    "$py" -m pip wheel --quiet --no-deps --wheel-dir "$work/$arch/linux" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE="$src/cmake/zig-toolchain.cmake" "$src"
  # scikit-build-core names the platform after the interpreter that ran it. The wheel gets its
  # architecture and the glibc it was built for; auditwheel (in make test) checks that the
  # binaries agree and need no library outside the policy, so there is nothing to bundle.
  "$py" -m wheel tags --remove --platform-tag "manylinux_2_28_$arch" "$work/$arch"/linux/velm_qor-*.whl >/dev/null
  mv "$work/$arch"/linux/velm_qor-*.whl "$work/$arch"/
  "$bin/auditwheel" show "$work/$arch"/velm_qor-*.whl
done
chmod -R u+w "$src"
cp "$work"/x86_64/velm_qor-*.whl "$out"/

# The same scenario scored by both wheels, each unpacked into a folder.
for arch in x86_64 aarch64; do
  mkdir -p "$work/$arch/site"
  "$py" -m zipfile -e "$work/$arch"/velm_qor-*.whl "$work/$arch/site"
done
arm_root="$repo/build/portable/aarch64/debian-root"
pyver=$("$py" -c 'import sysconfig; print(sysconfig.get_python_version())')
"$py" -I scripts/score-scenario.py "$work/x86_64/scenario.wal" --site "$work/x86_64/site" >"$work/x86_64/scores"
QEMU_LD_PREFIX="$arm_root" qemu-aarch64-static "$arm_root/usr/bin/python$pyver" -I scripts/score-scenario.py \
  "$work/aarch64/scenario.wal" --site "$work/aarch64/site" >"$work/aarch64/scores"
if cmp -s "$work/x86_64/scores" "$work/aarch64/scores"; then
  echo "build-wheels: aarch64 scores all $(wc -l <"$work/x86_64/scores") captures of the scenario as x86-64 does, bit for bit"
  cp "$work"/aarch64/velm_qor-*.whl "$out"/
else
  echo "build-wheels: the aarch64 build scores the scenario differently from the x86-64 build; its wheel is left out" >&2
  diff "$work/x86_64/scores" "$work/aarch64/scores" | head -n 20 >&2 || true
fi
ls -l "$out"
