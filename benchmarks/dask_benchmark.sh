#!/bin/sh
# tqfslide on dask: the whole-slide tissue-mask job with 1 and 2 workers and
# the dask array's throughput against read_regions, on one 20,000 x 20,000
# stained-tissue slide made by tools/make_sample_image.py and tqf-convert.
#
#   benchmarks/dask_benchmark.sh [--level L] [--workers N]
#
# The input is made once (not timed) and kept in WORK_DIR. Environment:
# BUILD_DIR (default: build), WORK_DIR (default: /tmp/tqf-convert-benchmark,
# shared with the other benchmarks), WIDTH and HEIGHT (default 20000).
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
WORK_DIR=${WORK_DIR:-/tmp/tqf-convert-benchmark}
WIDTH=${WIDTH:-20000}
HEIGHT=${HEIGHT:-20000}

if [ ! -x "$BUILD_DIR/tqf-convert" ] || [ ! -d "$BUILD_DIR/tqfslide" ]; then
    echo "dask_benchmark: build the project first (cmake --build $BUILD_DIR)" >&2
    exit 1
fi
. "$ROOT/benchmarks/inputs.sh"
bench_slide
cat "$SLIDE" >/dev/null  # reads start with the file in the page cache
PYTHONPATH="$BUILD_DIR${PYTHONPATH:+:$PYTHONPATH}" exec /usr/bin/python3 "$ROOT/benchmarks/dask_benchmark.py" \
    "$SLIDE" "$@"
