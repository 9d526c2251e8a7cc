#!/usr/bin/env bash
# Builds the launcher and runs every test: the native build's unit and
# end-to-end tests, then the further stages below. Each stage's script
# installs what it needs from Debian first when it is missing (run as root on
# a fresh machine).
#
#   ./run-tests.sh            every stage
#   ./run-tests.sh native     only the named stages (native, windows, quality,
#                             release, integration)
set -euo pipefail
cd "$(dirname "$0")"

stages=("$@")
((${#stages[@]})) || stages=(native windows quality release integration)
for stage in "${stages[@]}"; do
  echo "run-tests: stage $stage"
  "scripts/test-$stage.sh"
done
echo "run-tests: all stages passed (${stages[*]})"
