#!/bin/sh
# Times tqf-convert on a scanner-like slide: copying its JPEG tiles (the
# default), encoding every level again (--reencode, as it did before it
# copied), and vips; then the TIFF export of the resulting slide against
# re-encoding the same pyramid. Prints every figure.
#
#   benchmarks/svs_convert_benchmark.sh [SLIDE.svs]
#
# Without SLIDE, a WIDTH x HEIGHT Aperio-like SVS of stained tissue (256-pixel
# JPEG tiles of quality 90 with their tables in JPEGTables, AppMag 20, MPP
# 0.5, levels reduced 4 and 16 times, a thumbnail, a label and a macro image)
# is made once with benchmarks/make_svs_source.py (not timed) and kept in
# WORK_DIR.
#
#   conversion: tqf-convert SLIDE out.tqf               (levels 0, 2, 4 copied)
#               tqf-convert --reencode SLIDE out.tqf    (every level encoded)
#               $BASELINE SLIDE out.tqf                 (another build's tqf-convert, when BASELINE is set)
#               vips tiffsave SLIDE[rgb] out.tif --tile --tile-width 256 --tile-height 256
#                    --pyramid --compression jpeg --Q 90      (vips reads SLIDE through OpenSlide)
#   export:     tqf-convert --export-tiff out.tqf export.tiff  (tiles copied as stored)
#               vips tiffsave export.tiff ... (the same pyramid re-encoded, same options)
#
# Each is run once with /usr/bin/time: wall time, processor time (user +
# system, less sensitive to other work on the machine) and peak resident
# memory are printed, with ratios and the machine's load. For the copied
# and the re-encoded slide: the bytes of level 0 against the source's, and
# level 0 against OpenSlide's reading of the source on 16 regions of 1024
# pixels (the copy must be exact).
# Environment: BUILD_DIR (default: build), WORK_DIR (default:
# /tmp/tqf-slide-benchmark), WIDTH (default 40000), HEIGHT (default 30000),
# BASELINE (a tqf-convert to compare with, e.g. one built from an earlier
# commit; default none).
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
WORK_DIR=${WORK_DIR:-/tmp/tqf-slide-benchmark}
WIDTH=${WIDTH:-40000}
HEIGHT=${HEIGHT:-30000}
BASELINE=${BASELINE:-}
CONVERT=$BUILD_DIR/tqf-convert

if [ ! -x "$CONVERT" ]; then
    echo "svs_convert_benchmark: $CONVERT is missing; build the tqf-convert target first" >&2
    exit 1
fi
for tool in vips /usr/bin/time; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "svs_convert_benchmark: $tool is missing; run scripts/install-deps.sh --bench" >&2
        exit 1
    fi
done
mkdir -p "$WORK_DIR"

if [ $# -ge 1 ]; then
    SLIDE=$1
else
    SLIDE=$WORK_DIR/aperio-${WIDTH}x${HEIGHT}.svs
    if [ ! -f "$SLIDE" ]; then
        echo "making $SLIDE ..."
        /usr/bin/python3 "$ROOT/benchmarks/make_svs_source.py" "$SLIDE.part" "$WIDTH" "$HEIGHT"
        mv "$SLIDE.part" "$SLIDE"
    fi
fi

TQF_OUT=$WORK_DIR/out.tqf
REENCODED_TQF=$WORK_DIR/reencoded.tqf
BASELINE_TQF=$WORK_DIR/baseline.tqf
VIPS_OUT=$WORK_DIR/vips.tif
EXPORT_OUT=$WORK_DIR/export.tiff
REENCODED_OUT=$WORK_DIR/reencoded.tif
LOG=$WORK_DIR/time.log
trap 'rm -f "$TQF_OUT" "$REENCODED_TQF" "$BASELINE_TQF" "$VIPS_OUT" "$EXPORT_OUT" "$REENCODED_OUT" "$LOG" "$WORK_DIR/stderr.log"' EXIT

# Runs a command under /usr/bin/time; sets SECONDS_TAKEN, CPU_SECONDS and PEAK_MIB.
measure() {
    /usr/bin/time -v -o "$LOG" "$@" >"$WORK_DIR/stdout.log" 2>"$WORK_DIR/stderr.log" || {
        echo "svs_convert_benchmark: failed: $*" >&2
        cat "$WORK_DIR/stderr.log" >&2
        exit 1
    }
    SECONDS_TAKEN=$(awk -F': ' '/Elapsed \(wall clock\)/ {
        n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; printf "%.2f", s }' "$LOG")
    CPU_SECONDS=$(awk -F': ' '/(User|System) time/ { s += $2 } END { printf "%.2f", s }' "$LOG")
    PEAK_MIB=$(awk -F': ' '/Maximum resident set size/ { printf "%.0f", $2 / 1024 }' "$LOG")
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
load() { uptime | sed 's/.*load average: *//'; }

# Level 0's stored bytes against the source's, and its pixels against
# OpenSlide's reading of the source.
compare() {
    PYTHONPATH=$BUILD_DIR /usr/bin/python3 - "$SLIDE" "$1" <<'EOF'
import sys
import numpy as np
import openslide
import tifffile
import tqfslide

source, converted = sys.argv[1], sys.argv[2]
with tifffile.TiffFile(source) as tiff:
    page = tiff.pages[0]
    source_bytes = sum(page.databytecounts)
    tables = len(page.jpegtables or b"")
import ctypes, os
lib = ctypes.CDLL(os.path.join(os.environ["PYTHONPATH"], "yelk", "libyelk.so.1"))
lib.yelk_load_image.restype = ctypes.c_void_p
lib.yelk_load_image.argtypes = [ctypes.c_char_p, ctypes.c_int]
lib.yelk_unload_image.argtypes = [ctypes.c_void_p, ctypes.c_int]
handle = lib.yelk_load_image(converted.encode(), 0)
header = ctypes.c_void_p.from_address(handle + 16).value
count = ctypes.c_int32.from_address(header + 16).value
blocks = ctypes.c_void_p.from_address(handle + 88).value
scan = ctypes.c_int32.from_address(header + 28).value
stored = 0
for i in range(count):
    at = blocks + 64 * i
    if ctypes.c_float.from_address(at + 20).value == scan:
        stored += ctypes.c_uint32.from_address(at + 32).value
lib.yelk_unload_image(handle, 0)
tiles = len(page.databytecounts)
print(f"    level 0 stored in {stored} bytes; the source's tiles take {source_bytes} "
      f"(+ {tables - 4} bytes of shared tables per tile: {source_bytes + tiles * (tables - 4)})")
theirs = openslide.OpenSlide(source)
with tqfslide.open(converted) as ours:
    width, height = ours.dimensions
    worst, total, count = 0, 0.0, 0
    for i in range(4):
        for j in range(4):
            x, y = (width - 1024) * i // 3, (height - 1024) * j // 3
            a = ours.read_region((x, y), 0, (1024, 1024)).astype(int)
            b = np.asarray(theirs.read_region((x, y), 0, (1024, 1024)))[:, :, :3].astype(int)
            worst = max(worst, int(np.abs(a - b).max()))
            total += float(np.abs(a - b).mean())
            count += 1
    print(f"    level 0 against OpenSlide's reading of the source (16 regions of 1024 x 1024): "
          f"largest difference {worst}, mean {total / count:.3f}")
EOF
}

# Every run starts with its input in the page cache.
cat "$SLIDE" >/dev/null
echo "machine: $(nproc) cores, load before the runs: $(load)"
echo "source:  $SLIDE ($(vipsheader -f width "$SLIDE") x $(vipsheader -f height "$SLIDE") pixels, $(stat -c %s "$SLIDE") bytes)"

measure "$CONVERT" "$SLIDE" "$TQF_OUT"
copy_seconds=$SECONDS_TAKEN copy_cpu=$CPU_SECONDS copy_peak=$PEAK_MIB
copy_summary=$(sed -n 's/^  //p' "$WORK_DIR/stdout.log")
measure "$CONVERT" --reencode "$SLIDE" "$REENCODED_TQF"
reencode_seconds=$SECONDS_TAKEN reencode_cpu=$CPU_SECONDS reencode_peak=$PEAK_MIB
if [ -n "$BASELINE" ]; then
    measure "$BASELINE" "$SLIDE" "$BASELINE_TQF"
    baseline_seconds=$SECONDS_TAKEN baseline_cpu=$CPU_SECONDS baseline_peak=$PEAK_MIB
fi
measure vips tiffsave "$SLIDE[rgb]" "$VIPS_OUT" --tile --tile-width 256 --tile-height 256 --pyramid \
    --compression jpeg --Q 90
vips_seconds=$SECONDS_TAKEN vips_cpu=$CPU_SECONDS vips_peak=$PEAK_MIB
echo
echo "conversion (256-pixel JPEG tiles, quality 90 where encoded, pyramid):"
echo "  tqf-convert (copies):      $copy_seconds s wall, $copy_cpu s processor, peak $copy_peak MiB  ($(stat -c %s "$TQF_OUT") bytes)"
echo "$copy_summary" | sed 's/^/    /'
compare "$TQF_OUT"
echo "  tqf-convert --reencode:    $reencode_seconds s wall, $reencode_cpu s processor, peak $reencode_peak MiB  ($(stat -c %s "$REENCODED_TQF") bytes)"
compare "$REENCODED_TQF"
if [ -n "$BASELINE" ]; then
    echo "  $BASELINE: $baseline_seconds s wall, $baseline_cpu s processor, peak $baseline_peak MiB  ($(stat -c %s "$BASELINE_TQF") bytes)"
fi
echo "  vips tiffsave:             $vips_seconds s wall, $vips_cpu s processor, peak $vips_peak MiB  ($(stat -c %s "$VIPS_OUT") bytes)"
echo "  ratios (re-encoding / copying): wall $(ratio "$reencode_seconds" "$copy_seconds"), processor $(ratio "$reencode_cpu" "$copy_cpu") (goal >= 2)"
if [ -n "$BASELINE" ]; then
    echo "  ratios (baseline / copying):    wall $(ratio "$baseline_seconds" "$copy_seconds"), processor $(ratio "$baseline_cpu" "$copy_cpu")"
fi
echo "  ratios (vips / copying):        wall $(ratio "$vips_seconds" "$copy_seconds"), processor $(ratio "$vips_cpu" "$copy_cpu")"

cat "$TQF_OUT" >/dev/null
measure "$CONVERT" --export-tiff "$TQF_OUT" "$EXPORT_OUT"
export_seconds=$SECONDS_TAKEN export_cpu=$CPU_SECONDS export_peak=$PEAK_MIB
cat "$EXPORT_OUT" >/dev/null
measure vips tiffsave "$EXPORT_OUT" "$REENCODED_OUT" --tile --tile-width 256 --tile-height 256 --pyramid \
    --compression jpeg --Q 90
reexport_seconds=$SECONDS_TAKEN reexport_cpu=$CPU_SECONDS reexport_peak=$PEAK_MIB
echo
echo "export of the copied slide to pyramidal TIFF:"
echo "  tqf-convert --export-tiff (copies tiles):  $export_seconds s wall, $export_cpu s processor, peak $export_peak MiB  ($(stat -c %s "$EXPORT_OUT") bytes)"
echo "  vips tiffsave of it (re-encodes):          $reexport_seconds s wall, $reexport_cpu s processor, peak $reexport_peak MiB  ($(stat -c %s "$REENCODED_OUT") bytes)"
echo "  ratio:        $(ratio "$reexport_seconds" "$export_seconds") (re-encoding time / export time)"
echo "machine load after the runs: $(load)"
