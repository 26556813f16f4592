"""Rewrites the launchers auditwheel puts in a wheel's scripts folder.

auditwheel moves each native program of a wheel into <name>.scripts/ beside the modules, so that
it finds the libraries copied into <name>.libs/, and leaves a Python launcher in the scripts
folder that runs it from the interpreter's platlib folder. That folder is the wrong one after
`pip install --user` or `--prefix`/`--target`: the launcher then fails. This launcher looks in
platlib and then in every absolute folder of sys.path (which holds the user site), so it finds
the program wherever the wheel was installed. The wheel's RECORD is updated to match.

Usage: fix-program-shims.py WHEEL
"""

import base64
import hashlib
import re
import sys
import zipfile

LAUNCHER = """#!python
import os
import sys
import sysconfig

if __name__ == "__main__":
    relative = {relative!r}
    for base in [sysconfig.get_path("platlib"), *sys.path]:
        program = os.path.join(base, relative)
        if os.path.isabs(base) and os.path.isfile(program):
            os.execv(program, sys.argv)
    sys.exit(relative + " was not found in the site folders of " + sys.executable)
"""

# auditwheel's launcher: the program's path relative to platlib is its only literal.
AUDITWHEEL_LAUNCHER = re.compile(r'sysconfig\.get_path\("platlib"\),\s*\'([^\']+\.scripts/[^\']+)\'')


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main(path: str) -> None:
    with zipfile.ZipFile(path) as zin:
        entries = [(info, zin.read(info)) for info in zin.infolist()]
    contents = {}
    for info, data in entries:
        if re.fullmatch(r"[^/]+\.data/scripts/[^/]+", info.filename):
            found = AUDITWHEEL_LAUNCHER.search(data.decode("utf-8", "replace"))
            if found:
                contents[info.filename] = LAUNCHER.format(relative=found.group(1)).encode()
    if not contents:
        return
    record = next(info.filename for info, _ in entries if info.filename.endswith(".dist-info/RECORD"))
    lines = []
    for info, data in entries:
        if info.filename != record and not info.is_dir():
            lines.append(record_line(info.filename, contents.get(info.filename, data)))
    lines.append(f"{record},,")
    contents[record] = ("\n".join(lines) + "\n").encode()
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zout:
        for info, data in entries:
            zout.writestr(info, contents.get(info.filename, data))
    for name in sorted(contents):
        if name != record:
            print("rewrote the launcher", name)


if __name__ == "__main__":
    main(sys.argv[1])
