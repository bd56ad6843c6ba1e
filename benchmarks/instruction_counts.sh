#!/bin/sh
# Instructions per read of tqfslide's and the low-level reader's hot paths,
# counted by callgrind inside the native function that serves each read:
# figures that do not move with the machine's load, for comparing two
# builds (BUILD_DIR=... for each). Same slide as slide_benchmark.sh.
#
#   benchmarks/instruction_counts.sh [PATTERN]     (only scenarios whose name holds PATTERN)
#
# OpenCV runs on one thread here (OPENCV_FOR_THREADS_NUM=1): work its own
# threads did would otherwise be counted or not as the split fell.
# Environment: BUILD_DIR (default: build), WORK_DIR (default:
# /tmp/tqf-convert-benchmark), WIDTH and HEIGHT (default 20000).
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
WORK_DIR=${WORK_DIR:-/tmp/tqf-convert-benchmark}
WIDTH=${WIDTH:-20000}
HEIGHT=${HEIGHT:-20000}

if [ ! -x "$BUILD_DIR/tqf-convert" ] || [ ! -d "$BUILD_DIR/tqfslide" ]; then
    echo "instruction_counts: build the project first (cmake --build $BUILD_DIR)" >&2
    exit 1
fi
. "$ROOT/benchmarks/inputs.sh"
bench_slide
pattern=${1:-}
export OPENCV_FOR_THREADS_NUM=1
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
echo "instructions per read (callgrind), $SLIDE, build $BUILD_DIR"
PYTHONPATH="$BUILD_DIR" /usr/bin/python3 "$ROOT/benchmarks/instruction_counts.py" --list |
while IFS="$(printf '\t')" read -r name function count; do
    case "$name" in *"$pattern"*) ;; *) continue ;; esac
    PYTHONPATH="$BUILD_DIR" valgrind --tool=callgrind --quiet --collect-atstart=no \
        --toggle-collect="$function" --callgrind-out-file="$out/callgrind.out" \
        /usr/bin/python3 "$ROOT/benchmarks/instruction_counts.py" "$name" "$SLIDE" >/dev/null 2>"$out/log" || {
        cat "$out/log" >&2
        exit 1
    }
    awk -v name="$name" -v count="$count" '/^(summary|totals):/ { printf "  %-42s %14.0f\n", name, $2 / count; exit }' \
        "$out/callgrind.out"
done
