#!/bin/sh
# Builds the Debian package tqfreader_<version>_amd64.deb (the tqf command,
# tqf-convert, the Python modules tqfslide and tqfReader, the stand-in slide
# library, the OpenSlide-compatible libraries) into the current folder, from
# a build folder of its own.
#
#   scripts/build-deb.sh            then: sudo apt install ./tqfreader_*.deb
#
# Environment: BUILD_DIR (default: build-deb), JOBS (default: the number of cores).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-deb}
JOBS=${JOBS:-$(nproc)}
OUT=$(pwd)

"$ROOT/scripts/install-deps.sh"
command -v dpkg-shlibdeps >/dev/null || {
    echo "build-deb: dpkg-shlibdeps is missing (apt install dpkg-dev)" >&2
    exit 1
}
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target yelk tqfslide tqfreader tqfslide_python tqf-convert openslide_so0 openslide_so1
rm -f "$BUILD"/tqfreader_*.deb
(cd "$BUILD" && cpack -G DEB >/dev/null)
for deb in "$BUILD"/tqfreader_*.deb; do
    cp "$deb" "$OUT/"
    echo "built $OUT/$(basename "$deb")"
    dpkg-deb --field "$deb" Depends
done
