#!/bin/sh
# Patches per second of read_regions and of the PyTorch loaders of
# tqfslide.torch (item by item, worker batches, native threads), tile cache
# on and off, on one WIDTH x HEIGHT stained-tissue slide seen as a cohort.
#
#   flock -x /tmp/tqf-bench.lock benchmarks/loader_benchmark.sh [--patches N] [--slides K] [--repeat R]
#
# The slide is made once (not timed) and kept in WORK_DIR. Environment:
# BUILD_DIR (default: build), WORK_DIR (default: /tmp/tqf-convert-benchmark,
# shared with the other benchmarks), WIDTH and HEIGHT (default 20000).
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
WORK_DIR=${WORK_DIR:-/tmp/tqf-convert-benchmark}
WIDTH=${WIDTH:-20000}
HEIGHT=${HEIGHT:-20000}

if [ ! -x "$BUILD_DIR/tqf-convert" ] || [ ! -d "$BUILD_DIR/tqfslide" ]; then
    echo "loader_benchmark: build the project first (cmake --build $BUILD_DIR)" >&2
    exit 1
fi
. "$ROOT/benchmarks/inputs.sh"
bench_slide
cat "$SLIDE" >/dev/null  # reads start with the file in the page cache
PYTHONPATH="$BUILD_DIR${PYTHONPATH:+:$PYTHONPATH}" exec /usr/bin/python3 "$ROOT/benchmarks/loader_benchmark.py" \
    "$SLIDE" "$@"
