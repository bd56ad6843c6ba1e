#!/bin/sh
# The viewer under load: tqf serve against openslide-python's Deep Zoom
# example server (python-openslide-examples), the same stained-tissue image
# as a .tqf slide and as a tiled pyramidal TIFF of the slide's levels
# (256-pixel 4:2:0 JPEG tiles, quality 90): throughput and latency with 1
# and 8 wrk clients fetching random tiles, then 8 tile clients under hostile
# load (idle connections, slow and oversized headers, a flood of 404s).
#
#   benchmarks/viewer_load.sh [--short] [viewer_load.py options]
#
# --short: the check run in CI: a small slide, tqf serve alone, 4 clients
# fetching 250 tiles each (a count, not a time: the same work on a busy
# machine; no wrk); fails on any error. Inputs are made once (not timed) and
# kept in WORK_DIR. Environment: BUILD_DIR (default: build), WORK_DIR
# (default: /tmp/tqf-convert-benchmark, shared with the other benchmarks),
# WIDTH and HEIGHT (default 20000).
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
SHORT=0
if [ "${1:-}" = "--short" ]; then
    SHORT=1
    shift
    WORK_DIR=${WORK_DIR:-$BUILD_DIR/viewer-load}
    WIDTH=${WIDTH:-4000}
    HEIGHT=${HEIGHT:-3000}
fi
WORK_DIR=${WORK_DIR:-/tmp/tqf-convert-benchmark}
WIDTH=${WIDTH:-20000}
HEIGHT=${HEIGHT:-20000}

if [ ! -x "$BUILD_DIR/tqf-convert" ] || [ ! -x "$BUILD_DIR/tqf" ]; then
    echo "viewer_load: build the project first (cmake --build $BUILD_DIR)" >&2
    exit 1
fi
. "$ROOT/benchmarks/inputs.sh"
bench_slide

if [ "$SHORT" = 1 ]; then
    exec /usr/bin/python3 "$ROOT/benchmarks/viewer_load.py" --tqf-command "$BUILD_DIR/tqf" --tqf "$SLIDE" \
        --short --clients 4 --requests 250 "$@"
fi

bench_tiff
cat "$SLIDE" "$TIFF" >/dev/null  # both start with their files in the page cache
echo "uptime: $(uptime)"
exec /usr/bin/python3 "$ROOT/benchmarks/viewer_load.py" --tqf-command "$BUILD_DIR/tqf" --tqf "$SLIDE" \
    --tiff "$TIFF" "$@"
