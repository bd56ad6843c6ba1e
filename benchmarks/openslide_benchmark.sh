#!/bin/sh
# OpenSlide's own clients (python3-openslide, vips) on a .tqf slide through
# tqfReader's libopenslide against the same image as a TIFF with the very
# same tiles through the system's OpenSlide, and what the C library adds to
# tqfio::slide for 1024-pixel reads. One 20,000 x 20,000 stained-tissue
# image: the .tqf slide and its tqf-convert --export-tiff.
#
#   benchmarks/openslide_benchmark.sh [--rounds N]
#
# Inputs are made once (not timed) and kept in WORK_DIR. Environment:
# BUILD_DIR (default: build), WORK_DIR (default: /tmp/tqf-convert-benchmark,
# shared with the other benchmarks), WIDTH and HEIGHT (default 20000).
# Needs vips (scripts/install-deps.sh installs it).
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
WORK_DIR=${WORK_DIR:-/tmp/tqf-convert-benchmark}
WIDTH=${WIDTH:-20000}
HEIGHT=${HEIGHT:-20000}

if [ ! -x "$BUILD_DIR/tqf-convert" ] || [ ! -x "$BUILD_DIR/openslide-overhead" ] ||
    [ ! -f "$BUILD_DIR/openslide/libopenslide.so.0" ]; then
    echo "openslide_benchmark: build the project first (cmake --build $BUILD_DIR)" >&2
    exit 1
fi
. "$ROOT/benchmarks/inputs.sh"
bench_tiff
cat "$SLIDE" "$TIFF" >/dev/null  # reads start with the files in the page cache

"$BUILD_DIR/openslide-overhead" "$SLIDE"
/usr/bin/python3 "$ROOT/benchmarks/openslide_benchmark.py" --tqf "$BUILD_DIR/tqf" "$SLIDE" "$TIFF" "$@"
