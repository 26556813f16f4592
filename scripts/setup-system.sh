#!/usr/bin/env bash
# Installs the Debian packages that building and testing velm_qor need, only those missing.
# Works on Debian 12 (BLAKE3 built from librust-blake3-dev's C sources) and Debian 13
# (libblake3-dev). Needs root, or sudo.
set -euo pipefail

packages=(g++ make pkg-config ccache libsodium-dev libgtest-dev libbenchmark-dev nlohmann-json3-dev libsimdjson-dev clang
  clang-format  # make format, make lint
  dosfstools  # mkfs.vfat: tests on a file system without hard links or permission bits
  dpkg-dev autoconf automake libtool  # make wheels: unpacking (`apt-get source`) and configuring the
  # third-party sources
  qemu-user-static  # make wheels: the aarch64 wheel run and checked on this machine
  chromium)  # the HTML report opened in a headless browser by the tests

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

updated=no
apt_update() {
  if [ "$updated" = no ]; then
    as_root apt-get update -qq
    updated=yes
  fi
}

# BLAKE3: the distribution's library where it exists, else the reference C sources.
if ! have libblake3-dev && ! have librust-blake3-dev; then
  apt_update
  if apt-cache show libblake3-dev >/dev/null 2>&1; then
    packages+=(libblake3-dev)
  else
    packages+=(librust-blake3-dev)
  fi
fi

# Debian's own python3 keeps venv and ensurepip in a separate package.
if ! python3 -c 'import venv, ensurepip' >/dev/null 2>&1; then
  packages+=(python3-venv)
fi

# Building the module needs the interpreter's C headers; Debian's python3 keeps them in python3-dev.
if ! python3 -c 'import os, sysconfig; raise SystemExit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' >/dev/null 2>&1; then
  packages+=(python3-dev)
fi

# make wheels builds libsodium and simdjson from the distribution's source packages with `apt-get
# source`, which checks them against the archive's signed indexes: that needs a deb-src entry.
src_list=/etc/apt/sources.list.d/velm-qor-deb-src.sources
if [ ! -e "$src_list" ] && ! apt-get indextargets --format '$(IDENTIFIER)' 2>/dev/null | grep -qx Sources; then
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  echo "setup-system: adding the deb-src entry $src_list"
  as_root tee "$src_list" >/dev/null <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: $codename-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  updated=no
  apt_update
fi

missing=()
for p in "${packages[@]}"; do
  have "$p" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup-system: installing ${missing[*]}"
  apt_update
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup-system: all system packages present"
fi

# libFuzzer and the sanitizer runtimes for the distribution's clang: the package name carries
# clang's major version.
clang_major=$(clang --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1)
if [ -n "$clang_major" ] && ! have "libclang-rt-${clang_major}-dev"; then
  apt_update
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "libclang-rt-${clang_major}-dev"
fi
