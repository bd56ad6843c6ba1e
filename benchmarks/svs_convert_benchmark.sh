#!/bin/sh
# Times tqf-convert against vips on a scanner-like slide, and the TIFF
# export of the resulting .tqf slide against re-encoding the same pyramid.
#
#   benchmarks/svs_convert_benchmark.sh [SLIDE.svs]
#
# Without SLIDE, a WIDTH x HEIGHT Aperio-like SVS of stained tissue (JPEG
# tiles, AppMag 20, MPP 0.5, a label and a macro image) is made once with
# benchmarks/make_svs_source.py (not timed) and kept in WORK_DIR.
#
#   conversion: tqf-convert SLIDE out.tqf
#               vips tiffsave SLIDE[rgb] out.tif --tile --tile-width 256 --tile-height 256
#                    --pyramid --compression jpeg --Q 90      (vips reads SLIDE through OpenSlide)
#   export:     tqf-convert --export-tiff out.tqf export.tiff  (tiles copied as stored)
#               vips tiffsave export.tiff ... (the same pyramid re-encoded, same options)
#
# Each is run once with /usr/bin/time; wall time, ratios and peak resident
# memory are printed, with the machine's load before the runs.
# Environment: BUILD_DIR (default: build), WORK_DIR (default:
# /tmp/tqf-slide-benchmark), WIDTH (default 40000), HEIGHT (default 30000).
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
WORK_DIR=${WORK_DIR:-/tmp/tqf-slide-benchmark}
WIDTH=${WIDTH:-40000}
HEIGHT=${HEIGHT:-30000}
CONVERT=$BUILD_DIR/tqf-convert

if [ ! -x "$CONVERT" ]; then
    echo "svs_convert_benchmark: $CONVERT is missing; build the tqf-convert target first" >&2
    exit 1
fi
if ! command -v vips >/dev/null 2>&1; then
    echo "svs_convert_benchmark: vips is missing; run scripts/install-deps.sh --bench" >&2
    exit 1
fi
mkdir -p "$WORK_DIR"

if [ $# -ge 1 ]; then
    SLIDE=$1
else
    SLIDE=$WORK_DIR/tissue-${WIDTH}x${HEIGHT}.svs
    if [ ! -f "$SLIDE" ]; then
        echo "making $SLIDE ..."
        /usr/bin/python3 "$ROOT/benchmarks/make_svs_source.py" "$SLIDE.part" "$WIDTH" "$HEIGHT"
        mv "$SLIDE.part" "$SLIDE"
    fi
fi

TQF_OUT=$WORK_DIR/out.tqf
VIPS_OUT=$WORK_DIR/vips.tif
EXPORT_OUT=$WORK_DIR/export.tiff
REENCODED_OUT=$WORK_DIR/reencoded.tif
LOG=$WORK_DIR/time.log

# Runs a command under /usr/bin/time; sets SECONDS_TAKEN and PEAK_MIB.
measure() {
    /usr/bin/time -v -o "$LOG" "$@" >/dev/null 2>"$WORK_DIR/stderr.log" || {
        echo "svs_convert_benchmark: failed: $*" >&2
        cat "$WORK_DIR/stderr.log" >&2
        exit 1
    }
    SECONDS_TAKEN=$(awk -F': ' '/Elapsed \(wall clock\)/ {
        n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; printf "%.2f", s }' "$LOG")
    PEAK_MIB=$(awk -F': ' '/Maximum resident set size/ { printf "%.0f", $2 / 1024 }' "$LOG")
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# Every run starts with its input in the page cache.
cat "$SLIDE" >/dev/null
echo "machine: $(nproc) cores, load before the runs:$(uptime | sed 's/.*load average://')"
echo "source:  $SLIDE ($(vipsheader -f width "$SLIDE") x $(vipsheader -f height "$SLIDE") pixels, $(stat -c %s "$SLIDE") bytes)"

measure "$CONVERT" --quiet "$SLIDE" "$TQF_OUT"
tqf_seconds=$SECONDS_TAKEN tqf_peak=$PEAK_MIB
measure vips tiffsave "$SLIDE[rgb]" "$VIPS_OUT" --tile --tile-width 256 --tile-height 256 --pyramid \
    --compression jpeg --Q 90
vips_seconds=$SECONDS_TAKEN vips_peak=$PEAK_MIB
echo
echo "conversion (256-pixel JPEG tiles, quality 90, pyramid):"
echo "  tqf-convert:  $tqf_seconds s, peak $tqf_peak MiB  ($(stat -c %s "$TQF_OUT") bytes)"
echo "  vips:         $vips_seconds s, peak $vips_peak MiB  ($(stat -c %s "$VIPS_OUT") bytes)"
echo "  ratio:        $(ratio "$vips_seconds" "$tqf_seconds") (vips time / tqf-convert time; goal >= 1.5 at < 1024 MiB)"

cat "$TQF_OUT" >/dev/null
measure "$CONVERT" --quiet --export-tiff "$TQF_OUT" "$EXPORT_OUT"
export_seconds=$SECONDS_TAKEN export_peak=$PEAK_MIB
cat "$EXPORT_OUT" >/dev/null
measure vips tiffsave "$EXPORT_OUT" "$REENCODED_OUT" --tile --tile-width 256 --tile-height 256 --pyramid \
    --compression jpeg --Q 90
reencode_seconds=$SECONDS_TAKEN reencode_peak=$PEAK_MIB
echo
echo "export of the slide to pyramidal TIFF:"
echo "  tqf-convert --export-tiff (copies tiles):  $export_seconds s, peak $export_peak MiB  ($(stat -c %s "$EXPORT_OUT") bytes)"
echo "  vips tiffsave of it (re-encodes):          $reencode_seconds s, peak $reencode_peak MiB  ($(stat -c %s "$REENCODED_OUT") bytes)"
echo "  ratio:        $(ratio "$reencode_seconds" "$export_seconds") (re-encoding time / export time; goal >= 5)"
echo "machine load after the runs:$(uptime | sed 's/.*load average://')"
rm -f "$TQF_OUT" "$VIPS_OUT" "$EXPORT_OUT" "$REENCODED_OUT" "$LOG" "$WORK_DIR/stderr.log"
