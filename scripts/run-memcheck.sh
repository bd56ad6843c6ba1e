#!/bin/sh
# Runs every native test program of a build under valgrind's memcheck and
# fails on any memory error or definite leak.
#
#   scripts/run-memcheck.sh [BUILD_DIRECTORY]     (default: build)
#
# libjpeg-turbo's SIMD code upsamples 4:4:0 chroma past the image's width in
# ways memcheck cannot follow, so it runs without SIMD here (same pixels).
# Tests that make allocations fail on purpose are left out: valgrind's
# allocator aborts instead of throwing std::bad_alloc.
# Environment: JOBS (default: the number of cores).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
JOBS=${JOBS:-$(nproc)}
LOGS=$BUILD/memcheck
if [ "${2:-}" != "--one" ]; then
    rm -rf "$LOGS"
    mkdir -p "$LOGS"
fi

run_one() {
    program=$1
    name=$(basename "$program")
    log=$LOGS/$name.log
    if (cd "$(dirname "$program")" && JSIMD_FORCENONE=1 valgrind --quiet --error-exitcode=99 \
            --leak-check=full --errors-for-leak-kinds=definite --show-leak-kinds=definite \
            --suppressions="$ROOT/tests/memcheck/valgrind.supp" \
            "$program" --gtest_filter='-*FailedAllocation*' >"$log" 2>&1); then
        echo "memcheck clean: $name"
    else
        echo "memcheck FAILED: $name (log: $log)" >&2
        grep -E "^==[0-9]+== |FAILED" "$log" | head -60 >&2
        return 1
    fi
}

# One program, when called back by xargs below.
if [ "${2:-}" = "--one" ]; then
    run_one "$3"
    exit $?
fi

programs=$(find "$BUILD/tests" -path '*/CMakeFiles' -prune -o -type f -perm -u+x -name '*test*' -print | sort)
if [ -z "$programs" ]; then
    echo "no test programs under $BUILD/tests; build first" >&2
    exit 1
fi
# JOBS programs at a time; xargs exits non-zero when any of them failed.
printf '%s\n' $programs | xargs -P "$JOBS" -I{} "$0" "$BUILD" --one {}
