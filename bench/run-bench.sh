#!/usr/bin/env bash
# Builds the launcher as the release does (static, optimised) and prints the relay and start-up figures:
# throughput against cat as the relay, latency of a line, start-up time
# against the shell alone, tini and dumb-init (and an earlier build, with
# 2,000 idle processes too), the launcher's peak resident size, and stop
# latency against tini. bench/README.md says more.
#
#   bench/run-bench.sh [--only throughput|latency|startup|stop] [--lines N]
#                      [--old PATH]   (an earlier launcher, start-up side by side)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh cmake g++ make libgtest-dev tini dumb-init
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
exec build/bench/bench/launcher_bench "$@"
