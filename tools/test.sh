#!/usr/bin/env bash
# Set-up, build and every test: a normal build, then the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer. Exits non-zero on any failure.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

tools/deps.sh

jobs="$(nproc)"
export CTEST_OUTPUT_ON_FAILURE=1
export QT_QPA_PLATFORM=offscreen

build_and_test() {
  local dir="$1"; shift
  cmake -S . -B "$dir" -G Ninja -DCORVEL_WARNINGS_AS_ERRORS=ON -DCORVEL_BUILD_BENCH=ON "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --timeout 300
}

echo "== build and test (RelWithDebInfo)"
build_and_test build/ci -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== build and test with AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build_and_test build/ci-sanitize -DCMAKE_BUILD_TYPE=Debug -DCORVEL_SANITIZE=ON

echo "== all tests passed"
