#!/bin/sh
# Fuzzes the slide library, the reader, the writer, the slide API, OpenSlide's
# C interface, the viewer's HTTP server and the converter's TIFF sources with
# libFuzzer, under AddressSanitizer and UndefinedBehaviorSanitizer, for
# SECONDS each (default 60). Builds the targets with clang in build-fuzz/,
# grows one corpus per target in build-fuzz/corpus/ (started from the
# writer-made seeds and the kept regression inputs, and kept between runs),
# and stops at the first target that fails.
#
#   scripts/run-fuzzers.sh             # a minute each, as in the test command
#   scripts/run-fuzzers.sh 3600        # the long run: an hour each
#   scripts/run-fuzzers.sh 600 reader  # one target
#
# Leaks are looked for once per corpus input at the end of each target's
# run (libFuzzer's check after every mutation that allocates more than it
# frees runs a whole leak scan, which took two thirds of the slide target's
# time). Each target ends with a line of figures:
#   <target>: <inputs> inputs in <s> s, <n> a second (<m> per processor
#   second), coverage <cov> edges, <ft> features, corpus <k> inputs
#
# A failing input is written to build-fuzz/artifacts/. Replay it with
#   build-fuzz/fuzz/<target>-fuzzer build-fuzz/artifacts/<file>
# and, once fixed, keep it in fuzz/regressions/<target>/: every build's
# tests replay that folder.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
SECONDS_EACH=${1:-60}
shift 2>/dev/null || true
TARGETS=${*:-slide_library reader writer slide openslide http convert_source}
JOBS=${JOBS:-$(nproc)}
BUILD=$ROOT/build-fuzz

./scripts/install-deps.sh

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTQF_FUZZ=ON -DTQF_SANITIZE=ON >/dev/null
fuzzers=""
for target in $TARGETS; do fuzzers="$fuzzers $target-fuzzer"; done
# shellcheck disable=SC2086
cmake --build "$BUILD" -j "$JOBS" --target $fuzzers fuzz_seeds

mkdir -p "$BUILD/artifacts"
for target in $TARGETS; do
    corpus=$BUILD/corpus/$target
    mkdir -p "$corpus"
    cp -n "$BUILD/fuzz/seeds/$target/"* "$corpus/" 2>/dev/null || true
    cp -n "fuzz/regressions/$target/"* "$corpus/" 2>/dev/null || true
    printf '\n== fuzzing %s for %s s\n' "$target" "$SECONDS_EACH"
    log=$BUILD/artifacts/$target.log
    times=$BUILD/artifacts/$target.times
    # The targets' own diagnostics (refused slides, white tiles) are many;
    # the log keeps them, the terminal gets libFuzzer's summary.
    if ! /usr/bin/time -f "%e %U %S" -o "$times" "$BUILD/fuzz/$target-fuzzer" -max_total_time="$SECONDS_EACH" \
        -timeout=30 -rss_limit_mb=4096 -detect_leaks=0 -print_final_stats=1 \
        -artifact_prefix="$BUILD/artifacts/$target-" "$corpus" >"$log" 2>&1 ||
        ! "$BUILD/fuzz/$target-fuzzer" -runs=0 -detect_leaks=1 -rss_limit_mb=4096 \
            -artifact_prefix="$BUILD/artifacts/$target-leak-" "$corpus" >>"$log" 2>&1; then
        grep -E "ERROR|runtime error|broke a promise|SUMMARY|Test unit written" "$log" || tail -40 "$log"
        echo "fuzzing $target failed; the full log is $log" >&2
        exit 1
    fi
    # Only the JPEG and PNG decoders may ever see a slide's bytes: a message
    # of any other (OpenJPEG, OpenEXR, TIFF, GDAL ...) means one was reached.
    # The writer's target decodes its own input images (PNG, JPEG, BMP, PxM)
    # to have something to write, which is no slide being read; the
    # converter's sources are TIFF files, which libtiff decodes.
    if [ "$target" != writer ] && [ "$target" != convert_source ] && grep -E "grfmt_(exr|jpeg2000|hdr|pfm|pxm|tiff|webp|sunras|bmp|gdal|gdcm)|OpenJPEG|TIFFRead|ERROR [0-9]+: " "$log" | head -5 | grep .; then
        echo "fuzzing $target reached an image decoder other than JPEG's and PNG's; the full log is $log" >&2
        exit 1
    fi
    grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb|^Done" "$log" || true
    # The figures: inputs a second of the run and a second of processor
    # time (robust to a busy machine), and the coverage reached.
    units=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | head -1)
    last=$(grep -E "^#[0-9]+[[:space:]]+DONE" "$log" | tail -1)
    read -r wall user system <"$times"
    awk -v t="$target" -v n="${units:-0}" -v w="$wall" -v c="$user $system" -v last="$last" 'BEGIN {
        split(c, cpu, " "); p = cpu[1] + cpu[2];
        cov = last; sub(/.*cov: /, "", cov); sub(/ .*/, "", cov);
        ft = last; sub(/.*ft: /, "", ft); sub(/ .*/, "", ft);
        corp = last; sub(/.*corp: /, "", corp); sub(/\/.*/, "", corp);
        printf "%s: %d inputs in %.0f s, %.0f a second (%.0f per processor second), coverage %s edges, %s features, corpus %s inputs\n",
            t, n, w, n / w, (p > 0 ? n / p : 0), cov, ft, corp }'
done
printf '\n== fuzzing found nothing\n'
