#!/bin/sh
# Region read throughput on a slide made from a 20,000 x 20,000 stained-tissue
# image, against the time to only decode the tiles read.
#
#   benchmarks/region_benchmark.sh [SECONDS_PER_SCENARIO]
#
# The image and the slide are made once (not timed) and kept in WORK_DIR.
# Environment: BUILD_DIR (default: build), WORK_DIR (default:
# /tmp/tqf-convert-benchmark, shared with convert_benchmark.sh), WIDTH and
# HEIGHT (default 20000).
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
WORK_DIR=${WORK_DIR:-/tmp/tqf-convert-benchmark}
WIDTH=${WIDTH:-20000}
HEIGHT=${HEIGHT:-20000}

for program in tqf-convert region-benchmark; do
    if [ ! -x "$BUILD_DIR/$program" ]; then
        echo "region_benchmark: $BUILD_DIR/$program is missing; build the project first" >&2
        exit 1
    fi
done
. "$ROOT/benchmarks/inputs.sh"
bench_slide
cat "$SLIDE" >/dev/null  # reads start with the slide in the page cache
"$BUILD_DIR/region-benchmark" "$SLIDE" "${1:-3}"
