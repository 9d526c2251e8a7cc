#!/usr/bin/env bash
# The native build with warnings as errors, and every test CTest knows of:
# the workflow preset "native" (configure, build, test in build/native);
# then the demo of the quick start, stopped.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh cmake g++ make libgtest-dev javac=default-jdk-headless util-linux \
  pgrep=procps tmux tini
cmake --workflow --preset native
# The README's first quick-start command, stopped by a signal to its group.
tests/demo/stop-demo.sh
