#!/bin/sh
# Installs what is missing, builds the project twice (a normal build and one
# with AddressSanitizer and UndefinedBehaviorSanitizer) and runs every test
# in both, the native test programs once more under valgrind's memcheck, and
# each fuzz target for a minute. Exits non-zero on the first failure.
#
#   scripts/run-tests.sh
#
# Environment: JOBS (default: the number of cores), FUZZ_SECONDS (default
# 60 per fuzz target).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
JOBS=${JOBS:-$(nproc)}

./scripts/install-deps.sh

step() { printf '\n== %s\n' "$*"; }

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
./scripts/run-fuzzers.sh "${FUZZ_SECONDS:-60}"

step "all tests passed"
