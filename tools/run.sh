#!/usr/bin/env bash
# Set-up, build and start: installs missing packages, builds the application
# with the files it ships (RelWithDebInfo, into build/run) and starts its window.
# Arguments go to the application.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

tools/deps.sh

cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVEL_BUILD_TESTS=OFF
cmake --build build/run -j "$(nproc)"

exec build/run/bin/orvanta-voduve-corvel "$@"
