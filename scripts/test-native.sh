#!/usr/bin/env bash
# The native build with warnings as errors, and every test CTest knows of:
# the workflow preset "native" (configure, build, test in build/native).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset native
