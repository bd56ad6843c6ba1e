#!/bin/sh
# Times tqf-convert against vips on one large image: both build 256-pixel
# JPEG tiles (quality 90) and a pyramid of halved levels from the same file.
#
#   benchmarks/convert_benchmark.sh [IMAGE]
#
# Without IMAGE, a WIDTH x HEIGHT stained-tissue image is made once with
# tools/make_sample_image.py (not timed) and kept in WORK_DIR for later runs.
# Environment: BUILD_DIR (default: build), WORK_DIR (default:
# /tmp/tqf-convert-benchmark), WIDTH and HEIGHT (default 20000), RUNS (default 1;
# the best run of each tool is reported).
#
# Then, unless SLIDES=0, benchmarks/svs_convert_benchmark.sh times the conversion
# of a 40,000 x 30,000 scanner-like SVS and the TIFF export of the result,
# with peak memory.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
WORK_DIR=${WORK_DIR:-/tmp/tqf-convert-benchmark}
WIDTH=${WIDTH:-20000}
HEIGHT=${HEIGHT:-20000}
RUNS=${RUNS:-1}
CONVERT=$BUILD_DIR/tqf-convert

if [ ! -x "$CONVERT" ]; then
    echo "convert_benchmark: $CONVERT is missing; build the tqf-convert target first" >&2
    exit 1
fi
if ! command -v vips >/dev/null 2>&1; then
    echo "convert_benchmark: vips is missing; run scripts/install-deps.sh --bench" >&2
    exit 1
fi
mkdir -p "$WORK_DIR"

if [ $# -ge 1 ]; then
    IMAGE=$1
else
    IMAGE=$WORK_DIR/sample-${WIDTH}x${HEIGHT}.tif
    if [ ! -f "$IMAGE" ]; then
        echo "making $IMAGE ..."
        /usr/bin/python3 "$ROOT/tools/make_sample_image.py" "$IMAGE.part.tif" "$WIDTH" "$HEIGHT" 7
        mv "$IMAGE.part.tif" "$IMAGE"
    fi
fi
if [ ! -r "$IMAGE" ]; then
    echo "convert_benchmark: cannot read $IMAGE" >&2
    exit 1
fi

now() { date +%s.%N; }

# Runs a command RUNS times, reports each run on standard error and prints
# the shortest wall-clock time in seconds.
best_time() {
    best=""
    run=0
    while [ "$run" -lt "$RUNS" ]; do
        start=$(now)
        "$@" >/dev/null
        end=$(now)
        awk -v s="$start" -v e="$end" -v n="$((run + 1))" -v tool="$1" \
            'BEGIN { printf "  %s run %d: %.2f s\n", tool, n, e - s }' >&2
        best=$(awk -v s="$start" -v e="$end" -v b="$best" 'BEGIN { t = e - s; if (b == "" || t < b) b = t; print b }')
        run=$((run + 1))
    done
    awk -v b="$best" 'BEGIN { printf "%.2f", b }'
}

# Both tools start with the input in the page cache.
cat "$IMAGE" >/dev/null

TQF_OUT=$WORK_DIR/out.tqf
TIF_OUT=$WORK_DIR/out.tif
tqf_seconds=$(best_time "$CONVERT" --quiet -q 90 "$IMAGE" "$TQF_OUT")
vips_seconds=$(best_time vips tiffsave "$IMAGE" "$TIF_OUT" --tile --tile-width 256 --tile-height 256 \
    --pyramid --compression jpeg --Q 90)

echo "input:        $IMAGE ($(vipsheader -f width "$IMAGE") x $(vipsheader -f height "$IMAGE") pixels, $(nproc) cores)"
echo "tqf-convert:  $tqf_seconds s  ($(stat -c %s "$TQF_OUT") bytes)"
echo "vips:         $vips_seconds s  ($(stat -c %s "$TIF_OUT") bytes)"
ratio=$(awk -v v="$vips_seconds" -v t="$tqf_seconds" 'BEGIN { printf "%.2f", v / t }')
echo "ratio:        $ratio (vips time / tqf-convert time; above 1: tqf-convert is faster)"
rm -f "$TQF_OUT" "$TIF_OUT"

if [ "${SLIDES:-1}" != 0 ]; then
    echo
    BUILD_DIR=$BUILD_DIR "$ROOT/benchmarks/svs_convert_benchmark.sh"
fi
