#!/usr/bin/env bash
# Imports the one built module under every CPython from 3.9 up that pyenv (or PATH) offers, and
# builds a memory-mode engine with each and captures with it: proof that the stable-ABI build
# serves them all, both where text is converted through a bytes copy (3.9) and where the str's
# own UTF-8 form is used (3.10 and newer).
set -euo pipefail
so="$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$so" "$dir/"

pythons=()
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root)
  for v in "$root"/versions/3.*; do
    [ -x "$v/bin/python3" ] && pythons+=("$v/bin/python3")
  done
fi
if [ "${#pythons[@]}" -eq 0 ]; then
  for n in 9 10 11 12 13 14; do
    p=$(command -v "python3.$n" 2>/dev/null || true)
    [ -n "$p" ] && "$p" -c pass 2>/dev/null && pythons+=("$p")
  done
fi

checked=0
for py in "${pythons[@]}"; do
  minor=$("$py" -c 'import sys; print(sys.version_info[1])')
  [ "$minor" -ge 9 ] || continue
  out=$(cd "$dir" && "$py" -I -c '
import sys
sys.path.insert(0, ".")
import velm_qor
e = velm_qor.QOREngine(":memory:")
assert len(e.public_key_hex()) == 64
ppp = velm_qor.PPPTriplet("p", "pl", "pu")
review = velm_qor.HumanDeltaChain("d", False, "t")
text = "caf\u00e9 \U0001f600 " * 100
record = e.capture({"k": 1}, text, None, "ok", ppp, review)
assert (record.prompt, record.output) == (text, "ok")
try:
    e.capture(None, "\ud800", None, "", ppp, review)
    raise AssertionError("a lone surrogate was accepted")
except UnicodeEncodeError:
    pass
print(sys.version.split()[0], velm_qor.__file__.rsplit("/", 1)[1])
')
  echo "imports on Python $out"
  checked=$((checked + 1))
done
if [ "$checked" -eq 0 ]; then
  echo "no CPython 3.9+ found" >&2
  exit 1
fi
echo "$checked interpreters import the module"
