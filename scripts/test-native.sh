#!/usr/bin/env bash
# The native build with warnings as errors, and every test CTest knows of:
# the workflow preset "native" (configure, build, test in build/native);
# then the demo of the quick start, stopped, and the pipe budget of 1,000
# launchers of one user.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh cmake g++ make libgtest-dev javac=default-jdk-headless util-linux \
  pgrep=procps tmux tini python3
cmake --workflow --preset native
# The README's first quick-start command, stopped by a signal to its group.
tests/demo/stop-demo.sh
# 1,000 launchers of one unprivileged user leave that user's other pipes
# their full size.
if ((EUID == 0)); then
  bench/pipe-budget.sh build/native/launcher/launcher build/native/tests/fake-bin
else
  echo "test-native: the pipe budget is skipped: it needs root, to become a user"
fi
