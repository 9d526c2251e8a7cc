#!/usr/bin/env bash
# The quick start's demo, stopped as a terminal's Ctrl-C or `timeout` stops
# it: SIGTERM to the whole process group of ./run-demo.sh once the server is
# ready. The server must save its world before the script removes the
# scratch folder, and the script must end with the launcher's status.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=$(mktemp)
trap 'rm -f "$out"' EXIT
setsid ./run-demo.sh </dev/null >"$out" 2>&1 &
script_pid=$!
for _ in $(seq 600); do
  grep -q '^Ready' "$out" && break
  kill -0 "$script_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q '^Ready' "$out"; then
  cat "$out" >&2
  echo "stop-demo: the demo server did not become ready" >&2
  exit 1
fi
kill -TERM -- "-$script_pid"
status=0
wait "$script_pid" || status=$?
folder=$(sed -n 's/^server folder: \(.*\) (removed at the end)$/\1/p' "$out")
failed=""
grep -q '^World saved$' "$out" || failed="the world was not saved"
[[ -n "$folder" && ! -e "$folder" ]] || failed="${failed:+$failed; }the scratch folder '$folder' is left"
# The server ends on SIGTERM once it has saved (128+15), and the launcher
# and the script pass that on.
((status == 143)) || failed="${failed:+$failed; }status $status, not 143"
if [[ -n "$failed" ]]; then
  cat "$out" >&2
  echo "stop-demo: $failed" >&2
  exit 1
fi
echo "stop-demo: the demo saved its world on SIGTERM to its group and removed its folder"
