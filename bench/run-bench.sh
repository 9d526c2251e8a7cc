#!/usr/bin/env bash
# Builds the launcher as released and prints the relay and start-up figures:
# throughput against cat as the relay, latency of a line, start-up time
# against the shell alone, and the launcher's peak resident size.
#
#   bench/run-bench.sh [--only throughput|latency|startup] [--lines N]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target launcher_bench >/dev/null
exec "$build/bench/launcher_bench" "$@"
