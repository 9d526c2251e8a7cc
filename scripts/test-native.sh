#!/usr/bin/env bash
# The native build with warnings as errors, and every test CTest knows of.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/ci-native
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DLAUNCHER_WERROR=ON
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
