#!/usr/bin/env bash
# Builds the launcher and the demo server, and runs the launcher on the demo
# server in a scratch server folder. Type "say hi" and "stop" at its console.
# Arguments are passed to the launcher (default: +port 7777 +name "Demo World").
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-packages.sh cmake g++ make javac=default-jdk-headless
cmake --preset demo >/dev/null
cmake --build --preset demo >/dev/null
folder=$(mktemp -d "${TMPDIR:-/tmp}/launcher-demo.XXXXXX")
cp build/demo/demo-server/server.jar demo-server/server.properties "$folder"
launcher=$PWD/build/demo/launcher/launcher
trap 'rm -rf "$folder"' EXIT
# A stop sent to the whole group (Ctrl-C, a hang-up, `timeout`) reaches the
# launcher too: the script waits for it to end, so that the server saves the
# world before the folder goes. A trap rather than "ignore", which the
# launcher and the server would inherit.
trap ':' INT TERM HUP
echo "server folder: $folder (removed at the end)" >&2
cd "$folder"
(($#)) || set -- +port 7777 +name "Demo World"
# Not exec: the scratch folder goes when the launcher ends; its status stays.
status=0
"$launcher" "$@" || status=$?
exit "$status"
