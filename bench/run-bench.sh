#!/usr/bin/env bash
# Builds the launcher as the release does (static, optimised) and prints the relay and start-up figures:
# throughput against cat as the relay, latency of a line, start-up time
# against the shell alone, and the launcher's peak resident size.
#
#   bench/run-bench.sh [--only throughput|latency|startup] [--lines N]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
exec build/bench/bench/launcher_bench "$@"
