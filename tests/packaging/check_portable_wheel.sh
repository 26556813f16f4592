#!/usr/bin/env bash
# Checks the manylinux wheels in DIR the way users without root or compilers meet them.
# Each wheel: auditwheel must find it consistent with its tag and nothing outside the policy; no
# binary may need a glibc symbol newer than its tag's glibc (readelf); the modules export nothing
# but their init functions (libsodium, simdjson and the C++ runtime stay private).
# The x86-64 wheel is installed into a fresh virtual environment and, in a private mount namespace
# where an empty file hides each system copy of libsodium and simdjson (and of any library the
# wheel bundles), every module is imported, a log is captured and every program of the wheel
# checks it (smoke.py). The aarch64 wheel, where make wheels wrote one, is installed for its
# platform and run the same way under qemu-aarch64-static with Debian's arm64 Python, and the log
# it wrote is checked again by the x86-64 build: the two architectures score alike.
# Modules and programs are found in the wheels, so each one they gain is checked too.
# Usage: check_portable_wheel.sh DIR PYTHON AUDITWHEEL
set -euo pipefail
dir="$1"
python="$2"
auditwheel="$3"
here=$(cd "$(dirname "$0")" && pwd)
arm_root="$(pwd)/build/portable/aarch64/debian-root"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One wheel's tag, contents and symbols; prints the path the wheel lists its programs under.
check_binaries() {
  local wheel="$1" tag
  tag=$(basename "$wheel" .whl | sed 's/.*-cp39-abi3-//')
  echo "wheel: $(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB)"
  "$auditwheel" show "$wheel"
  "$auditwheel" show --json "$wheel" | "$python" -c '
import json, re, sys
report = json.load(sys.stdin)
tag = sys.argv[1]
want = re.fullmatch(r"manylinux_(\d+)_(\d+)_(\w+)", tag)
have = re.fullmatch(r"manylinux_(\d+)_(\d+)_(\w+)", report["overall_tag"])
assert want and have, (tag, report["overall_tag"])
# auditwheel names the oldest tag the binaries allow: the tag of the wheel may not be older.
assert have.group(3) == want.group(3), (tag, report["overall_tag"])
assert (int(have.group(1)), int(have.group(2))) <= (int(want.group(1)), int(want.group(2))), (tag, report)
assert not report["external_libs"], "libraries outside the policy: %s" % report["external_libs"]
' "$tag"
  local unpacked="$work/unpacked-$tag"
  mkdir -p "$unpacked"
  "$python" -m zipfile -e "$wheel" "$unpacked"
  local glibc
  glibc=$(echo "$tag" | sed -E 's/manylinux_([0-9]+)_([0-9]+)_.*/\1.\2/')
  local found=0
  while IFS= read -r -d '' file; do
    [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
    found=$((found + 1))
    local newest
    newest=$(readelf --version-info -W "$file" | grep -oE 'Name: GLIBC_[0-9.]+' | sed 's/Name: GLIBC_//' | sort -V | tail -n 1)
    echo "  $(basename "$file"): newest glibc symbol version $newest"
    [ "$(printf '%s\n%s\n' "$newest" "$glibc" | sort -V | tail -n 1)" = "$glibc" ] ||
      { echo "$file needs GLIBC_$newest, newer than its tag's $glibc" >&2; exit 1; }
    if [[ "$file" == *.so ]]; then
      local exported
      exported=$(readelf --dyn-syms -W "$file" | awk '$7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") {print $8}' | sort -u)
      [ "$exported" = "PyInit_$(basename "$file" | sed 's/\..*//')" ] ||
        { echo "$file exports more than its init function:" >&2; echo "$exported" | head >&2; exit 1; }
    fi
  done < <(find "$unpacked" -type f -print0)
  [ "$found" -ge 3 ] || { echo "expected the two modules and the program in $wheel, found $found binaries" >&2; exit 1; }
}

# What a wheel holds: extension modules and Python packages, and programs.
list_modules() {
  "$python" -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$1" >"$work/listing"
  (grep -E '^[A-Za-z0-9_/]+\.abi3\.so$' "$work/listing" | sed 's/\.abi3\.so$//; s|/|.|g' || true
   grep -E '^[A-Za-z0-9_]+/__init__\.py$' "$work/listing" | sed 's|/__init__\.py$||' || true) | sort -u
}
list_programs() { grep -E '^[^/]+\.data/scripts/[^/]+$' "$work/listing" | sed 's|.*/||' || true; }

x86=("$dir"/velm_qor-*-manylinux_2_28_x86_64.whl)
[ "${#x86[@]}" -eq 1 ] && [ -f "${x86[0]}" ] || { echo "expected one manylinux_2_28_x86_64 wheel in $dir" >&2; exit 1; }
check_binaries "${x86[0]}"

"$python" -m venv "$work/venv"
pip=("$work/venv/bin/python" -m pip install --quiet --no-index --no-deps)
modules=$(list_modules "${x86[0]}")
programs=$(list_programs)
bundled=$(grep -E '^[^/]+\.libs/lib' "$work/listing" | sed -E 's|.*/(lib[A-Za-z0-9_+]+)-[0-9a-f]{8}\.so.*|\1|' | sort -u || true)
echo "modules: $(echo $modules); programs: $(echo $programs); bundled: $(echo $bundled)"

# Installed with --target, outside the interpreter's own site folder, each program still starts.
"${pip[@]}" --target "$work/target" "${x86[0]}"
for program in $programs; do
  PYTHONPATH="$work/target" "$work/target/bin/$program" --help >/dev/null
done
"${pip[@]}" "${x86[0]}"

# The system's copies of what the development build links and of anything the wheel bundles.
masked=()
for name in libsodium libsimdjson $bundled; do
  while read -r path; do
    masked+=("$(readlink -f "$path")")
  done < <(ldconfig -p | awk -v n="$name" '$1 ~ "^" n "\\.so" {print $NF}')
done
mapfile -t masked < <(printf '%s\n' "${masked[@]}" | sort -u | sed '/^$/d')

mkdir -p "$work/x86"
run=("$work/venv/bin/python" -I "$here/smoke.py" "$work/x86" --modules $modules
  --programs $(for p in $programs; do echo "$work/venv/bin/$p"; done))
if [ "$(id -u)" -eq 0 ] && unshare --mount --propagation private true 2>/dev/null; then
  : >"$work/empty"
  unshare --mount --propagation private bash -euo pipefail -c '
    empty="$1"; shift
    while [ "$1" != -- ]; do mount --bind "$empty" "$1"; shift; done
    shift
    exec "$@"' _ "$work/empty" "${masked[@]}" -- "${run[@]}" --masked "${masked[@]}"
else
  echo "SKIP masking the system libraries: unshare -m and bind mounts need root; running unmasked"
  "${run[@]}"
fi

arm=("$dir"/velm_qor-*-manylinux_2_28_aarch64.whl)
if [ ! -f "${arm[0]}" ]; then
  # make wheels holds the aarch64 wheel back when it scores differently: its binaries are still
  # checked, but it is not run, since its records would not verify on x86-64.
  held=(build/wheels/aarch64/velm_qor-*-manylinux_2_28_aarch64.whl)
  [ -f "${held[0]}" ] || { echo "no aarch64 wheel in $dir or build/wheels/aarch64" >&2; exit 1; }
  check_binaries "${held[0]}"
  echo "SKIP running the aarch64 wheel: make wheels held it back, as it scores differently from x86-64"
  exit 0
fi
check_binaries "${arm[0]}"
# pip on this machine accepts the wheel for an aarch64 system of that glibc, and installs it there.
"$work/venv/bin/python" -m pip install --quiet --no-index --no-deps --platform manylinux_2_28_aarch64 \
  --only-binary=:all: --target "$work/arm-target" "${arm[0]}"
modules=$(list_modules "${arm[0]}")
programs=$(list_programs)
pyver=$("$python" -c 'import sysconfig; print(sysconfig.get_python_version())')
mkdir -p "$work/arm"
QEMU_LD_PREFIX="$arm_root" PYTHONPATH="$work/arm-target" qemu-aarch64-static "$arm_root/usr/bin/python$pyver" \
  "$here/smoke.py" "$work/arm" --modules $modules --run-with qemu-aarch64-static \
  --programs $(for p in $programs; do echo "$work/arm-target/bin/$p"; done)
"$work/venv/bin/velm-qor-verify" "$work/arm/audit.wal" --public-key "$(cat "$work/arm/audit.wal.pub")"
echo "the log written under qemu-aarch64-static verifies with the x86-64 build"
