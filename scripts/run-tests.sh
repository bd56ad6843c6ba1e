#!/bin/sh
# Installs what is missing, checks the C++ style, builds the project twice (a normal build and one
# with AddressSanitizer and UndefinedBehaviorSanitizer) and runs every test
# in both, the native test programs once more under valgrind's memcheck, and
# each fuzz target for 10 seconds. Exits non-zero on the first failure.
#
#   scripts/run-tests.sh           # as CI runs it
#   scripts/run-tests.sh --busy    # the same with both cores kept busy by
#                                  # stress-ng for the whole run, as on a
#                                  # loaded CI machine: no test may depend on
#                                  # timing, and here one that does shows
#
# Environment: JOBS (default: the number of cores), FUZZ_SECONDS (default
# 10 per fuzz target), BUSY_CPUS (stress-ng's workers with --busy, default 2).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
JOBS=${JOBS:-$(nproc)}
BUSY=0
for argument in "$@"; do
    case $argument in
    --busy) BUSY=1 ;;
    -h | --help)
        sed -n '2,/^set -eu/p' "$0" | sed '$d; s/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "run-tests.sh: unknown argument '$argument'; try --help" >&2
        exit 2
        ;;
    esac
done

./scripts/install-deps.sh

step() { printf '\n== %s\n' "$*"; }

if [ "$BUSY" = 1 ]; then
    # Stopped however the run ends: passed, failed or interrupted.
    stress-ng --cpu "${BUSY_CPUS:-2}" --quiet &
    busy=$!
    trap 'kill "$busy" 2>/dev/null; wait "$busy" 2>/dev/null || true' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    step "both cores kept busy by stress-ng --cpu ${BUSY_CPUS:-2} (pid $busy)"
fi

step "C++ style (clang-format-14, .clang-format)"
./scripts/check-format.sh

step "build (build/)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$JOBS"
step "tests (build/)"
ctest --test-dir build -j "$JOBS" --output-on-failure

step "native tests under valgrind memcheck (build/)"
./scripts/run-memcheck.sh build

step "build with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTQF_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$JOBS"
step "tests (build-asan/)"
ctest --test-dir build-asan -j "$JOBS" --output-on-failure

step "fuzzing (build-fuzz/)"
./scripts/run-fuzzers.sh "${FUZZ_SECONDS:-10}"

step "all tests passed"
