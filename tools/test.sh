#!/usr/bin/env bash
# Set-up, build and every test: a Release build (the configuration the benchmarks use, built
# with them), then the same tests under AddressSanitizer and UndefinedBehaviorSanitizer, then
# a short run of the fuzz targets. Warnings are errors throughout. Exits non-zero on any failure.
#
# Each test binary is one CTest test, so ctest -j runs whole binaries side by side, the longest
# first. Building and testing take turns: ninja and ctest never share the cores.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

tools/deps.sh

jobs="$(nproc)"
export CTEST_OUTPUT_ON_FAILURE=1
export QT_QPA_PLATFORM=offscreen

build_and_test() {
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja -DCORVEL_WARNINGS_AS_ERRORS=ON "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --timeout 900
}

echo "== build and test (Release, with the benchmarks)"
build_and_test build/ci -DCMAKE_BUILD_TYPE=Release -DCORVEL_BUILD_BENCH=ON

echo "== build and test with AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build_and_test build/ci-sanitize -DCMAKE_BUILD_TYPE=Debug -DCORVEL_SANITIZE=ON -DCORVEL_BUILD_BENCH=OFF

echo "== fuzz every parser of untrusted input for a fixed time"
tools/fuzz.sh 15

echo "== all tests passed"
