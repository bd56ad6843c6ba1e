#!/bin/sh
# tqfslide's region reads, patch extraction and Deep Zoom tiles against the
# libjpeg-turbo decode floor and against OpenSlide (python3-openslide), on
# one 20,000 x 20,000 stained-tissue image: the .tqf slide and the same
# image as a tiled pyramidal TIFF with the same tiles (256-pixel JPEG tiles,
# quality 90, 4:2:0), made from the slide by tqf-convert --export-tiff.
#
#   benchmarks/slide_benchmark.sh [--seconds S]
#
# Inputs are made once (not timed) and kept in WORK_DIR. Environment:
# BUILD_DIR (default: build), WORK_DIR (default: /tmp/tqf-convert-benchmark,
# shared with the other benchmarks), WIDTH and HEIGHT (default 20000).
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
WORK_DIR=${WORK_DIR:-/tmp/tqf-convert-benchmark}
WIDTH=${WIDTH:-20000}
HEIGHT=${HEIGHT:-20000}

if [ ! -x "$BUILD_DIR/tqf-convert" ] || [ ! -d "$BUILD_DIR/tqfslide" ]; then
    echo "slide_benchmark: build the project first (cmake --build $BUILD_DIR)" >&2
    exit 1
fi
. "$ROOT/benchmarks/inputs.sh"
bench_tiff
cat "$SLIDE" "$TIFF" >/dev/null  # reads start with the files in the page cache
PYTHONPATH="$BUILD_DIR${PYTHONPATH:+:$PYTHONPATH}" exec /usr/bin/python3 "$ROOT/benchmarks/slide_benchmark.py" \
    --build-dir "$BUILD_DIR" "$SLIDE" "$TIFF" "$@"
