#!/usr/bin/env bash
# Checks the manylinux wheel in DIR the way a user without root or compilers meets it:
# auditwheel must find a manylinux tag and nothing outside its policy; the wheel is installed into
# a fresh virtual environment and, in a private mount namespace where an empty file hides each
# system copy of a library the wheel bundles, every module is imported, a log is captured and
# every program of the wheel runs on it (smoke.py). Modules and programs are found in the wheel,
# so each one it gains is checked too.
# Usage: check_portable_wheel.sh DIR PYTHON AUDITWHEEL
set -euo pipefail
dir="$1"
python="$2"
auditwheel="$3"
here=$(cd "$(dirname "$0")" && pwd)

wheels=("$dir"/velm_qor-*-manylinux_*.whl)
[ "${#wheels[@]}" -eq 1 ] && [ -f "${wheels[0]}" ] || { echo "expected one manylinux wheel in $dir" >&2; exit 1; }
wheel="${wheels[0]}"
tag=$(basename "$wheel" .whl | sed 's/.*-cp39-abi3-//')
echo "wheel: $(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB)"

"$auditwheel" show "$wheel"
# The tag auditwheel derives from the binaries must be the wheel's own, and no library outside the
# policy may be left for the target system to provide.
"$auditwheel" show --json "$wheel" | "$python" -c '
import json, sys
report = json.load(sys.stdin)
tag = sys.argv[1]
assert tag.startswith("manylinux_") and report["overall_tag"] == tag, (tag, report["overall_tag"])
assert not report["external_libs"], "libraries outside the policy: %s" % report["external_libs"]
' "$tag"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" -m venv "$work/venv"
pip=("$work/venv/bin/python" -m pip install --quiet --no-index --no-deps)

# What the wheel holds: extension modules and Python packages, programs, and the libraries
# auditwheel copied in (named lib<name>-<hash>.so.<version>).
listing=$("$work/venv/bin/python" -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$wheel")
modules=$( (grep -E '^[A-Za-z0-9_/]+\.abi3\.so$' <<<"$listing" | sed 's/\.abi3\.so$//; s|/|.|g'
            grep -E '^[A-Za-z0-9_]+/__init__\.py$' <<<"$listing" | sed 's|/__init__\.py$||' || true) | sort -u)
programs=$(grep -E '^[^/]+\.data/scripts/[^/]+$' <<<"$listing" | sed "s|.*/|$work/venv/bin/|")
bundled=$(grep -E '^[^/]+\.libs/lib' <<<"$listing" | sed -E 's|.*/(lib[A-Za-z0-9_+]+)-[0-9a-f]{8}\.so.*|\1|' | sort -u)
echo "modules: $(echo $modules); programs: $(echo $programs | xargs -n1 basename | xargs); bundled: $(echo $bundled)"

# Installed with --target, outside the interpreter's own site folder, each program still starts.
"${pip[@]}" --target "$work/target" "$wheel"
for program in $programs; do
  PYTHONPATH="$work/target" "$work/target/bin/$(basename "$program")" --help >/dev/null
done
"${pip[@]}" "$wheel"

masked=()
for name in $bundled; do
  while read -r path; do
    masked+=("$(readlink -f "$path")")
  done < <(ldconfig -p | awk -v n="$name" '$1 ~ "^" n "\\.so" {print $NF}')
done
mapfile -t masked < <(printf '%s\n' "${masked[@]}" | sort -u | sed '/^$/d')

run=("$work/venv/bin/python" -I "$here/smoke.py" "$work" --modules $modules --programs $programs)
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
