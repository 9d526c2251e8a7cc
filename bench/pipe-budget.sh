#!/usr/bin/env bash
# Starts N launchers (1,000 by default) as one unprivileged user, each on a
# stand-in server that waits, then creates a pipe as that user and prints
# its size: the launchers' pipes must leave that user's other pipes their
# full 64 KiB (/proc/sys/fs/pipe-user-pages-soft). Exits 1 when the pipe
# was shrunk. Needs root, to become the user.
#
#   bench/pipe-budget.sh <launcher> <stand-in java folder> [N] [user]
set -euo pipefail
launcher=$(realpath "$1")
java_dir=$(realpath "$2")
count=${3:-1000}
user=${4:-nobody}
folder=$(mktemp -d)
chmod 755 "$folder"
trap 'pkill -u "$user" -x java || true; rm -rf "$folder"' EXIT
cp "$launcher" "$folder/launcher"
cp -r "$java_dir" "$folder/bin"
chmod -R a+rx "$folder"

setpriv --reuid "$user" --regid "$(id -g "$user")" --clear-groups \
    env PATH="$folder/bin:/usr/bin:/bin" FAKE_JAVA=sleep:600000 FOLDER="$folder" COUNT="$count" \
    bash -c '
        cd "$FOLDER"
        for _ in $(seq "$COUNT"); do ./launcher >/dev/null 2>&1 & done
        # Every launcher has made its pipe once its server runs.
        until [ "$(pgrep -c -u "$(id -u)" -x java)" -ge "$COUNT" ]; do sleep 0.5; done
        size=$(python3 -c "import fcntl, os; r, w = os.pipe(); print(fcntl.fcntl(w, 1032))")
        echo "$COUNT launchers of $(id -un): a new pipe of that user holds $size bytes" \
             "(soft limit $(cat /proc/sys/fs/pipe-user-pages-soft) pages)"
        pkill -u "$(id -u)" -x java || true
        wait
        [ "$size" -ge 65536 ]
    '
