#!/usr/bin/env bash
# Builds the Debian packages (libqelvorlent1, libqelvorlent-dev, vorlent, python3-qelvorlent) from
# the project's debian/ folder and leaves them in one folder:
#
#   scripts/build-deb.sh [OUT]      (make deb; OUT defaults to build-deb)
#
# dpkg-buildpackage writes its results beside the source tree, so the tree is copied into
# OUT/src first; the packages land in OUT. One build, JOBS jobs (default 2), no tests (CI
# runs them elsewhere); ccache is used when it is installed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build-deb}
mkdir -p "$out"
out=$(cd "$out" && pwd)

# One version: the project's, the changelog's.
version=$(sed -n 's/^project(QelVorlent VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
changelog=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
if [[ "${changelog%%-*}" != "$version" ]]; then
  echo "debian/changelog has $changelog, CMakeLists.txt $version: add a changelog entry" >&2
  exit 1
fi

rm -rf "$out/src" "$out"/*.deb "$out"/*.buildinfo "$out"/*.changes
mkdir -p "$out/src"
# the tracked files and the new ones not ignored, as they are in the working tree
(cd "$root" && git ls-files -z --cached --others --exclude-standard | tar -cf - --null --no-recursion -T -) |
  tar -xf - -C "$out/src"

flags=""
if command -v ccache >/dev/null; then
  flags="-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
fi
cd "$out/src"
QV_DEB_CMAKE_FLAGS="$flags" DEB_BUILD_OPTIONS="parallel=${JOBS:-2} nocheck noddebs" \
  dpkg-buildpackage -b -us -uc
rm -rf "$out/src"
ls "$out"/*.deb
