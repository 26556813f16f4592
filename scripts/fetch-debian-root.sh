#!/usr/bin/env bash
# Unpacks Debian packages of another architecture into a folder, without touching the system's
# dpkg state or its list of architectures: apt runs with its own lists, cache and an empty status
# file under build/portable/apt-ARCH, downloads the packages (checked against the archive's signed
# indexes, as every apt download is) and dpkg-deb -x unpacks each one. The folder is kept while
# the package list and the downloaded versions are the same.
# Usage: fetch-debian-root.sh DEB_ARCH DIR PACKAGE...
set -euo pipefail
arch="$1"
dir="$2"
shift 2
state="$(pwd)/build/portable/apt-$arch"

apt=(apt-get -qq -o "APT::Architecture=$arch" -o "APT::Architectures::=$arch" -o Debug::NoLocking=1
  -o "Dir::State::Lists=$state/lists" -o "Dir::State::status=$state/status" -o "Dir::Cache=$state/cache")
mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$state/debs"
: >>"$state/status"
# The lists are read again once a day, so that a rebuilt package is noticed.
if [ -z "$(find "$state/lists" -maxdepth 1 -name '*Packages*' -mmin -1440 -print -quit)" ]; then
  "${apt[@]}" update
fi

versions=$("${apt[@]}" download --print-uris "$@" | awk '{print $2}' | sort)
if [ -f "$dir/.packages" ] && [ "$(cat "$dir/.packages")" = "$versions" ]; then
  exit 0
fi
(cd "$state/debs" && "${apt[@]}" download "$@")
[ -d "$dir" ] && chmod -R u+w "$dir"
rm -rf "$dir"
mkdir -p "$dir"
for deb in $versions; do
  dpkg-deb -x "$state/debs/$deb" "$dir"
done
echo "$versions" >"$dir/.packages"
