# shellcheck shell=bash
# contrib/Dockerfile under a container engine (sourced by
# scripts/test-integration.sh, which sets scratch, repo, build and base_tar).
#
# The engine is a dockerd of this stage's own: its own data root, exec root,
# socket and pid file, vfs storage, no iptables rules and no bridge, so that
# nothing of the host's networking or of another engine is touched. The
# Dockerfile's base, debian:12-slim, is the Debian tree imported as an image;
# the Dockerfile itself is built as it ships, its apt-get on the host's
# network.

image=launcher-integration/game
containers=()

start_dockerd() {
  local root=$scratch/docker
  mkdir -p "$root/data" "$root/exec"
  dockerd --data-root="$root/data" --exec-root="$root/exec" --host="unix://$root/docker.sock" \
    --pidfile="$root/dockerd.pid" --storage-driver=vfs --iptables=false --ip6tables=false \
    --bridge=none >"$root/dockerd.log" 2>&1 </dev/null &
  dockerd_pid=$!
  docker=(/usr/bin/docker --host="unix://$root/docker.sock")
  if ! wait_until 60 dockerd_answers; then
    show_file "dockerd" "$root/dockerd.log"
    return 1
  fi
}

dockerd_answers() { "${docker[@]}" version >/dev/null 2>&1; }

# Removes this stage's containers, then stops the daemon by its process id.
stop_dockerd() {
  [[ -n ${dockerd_pid-} ]] || return 0
  local name
  for name in "${containers[@]}"; do "${docker[@]}" rm --force "$name" >/dev/null 2>&1 || true; done
  stop_process "$dockerd_pid" 60
  dockerd_pid=
}

build_image() {
  local context=$scratch/context
  mkdir -p "$context"
  cp "$build/launcher/launcher" "$build/demo-server/server.jar" \
    "$build/demo-server/server.properties" "$context/"
  "${docker[@]}" import "$base_tar" debian:12-slim >/dev/null
  rm -f "$base_tar"
  if ! "${docker[@]}" build --network=host --file="$dockerfile_source" --tag="$image" \
    "$context" >"$scratch/docker-build.log" 2>&1; then
    show_file "docker build" "$scratch/docker-build.log"
    return 1
  fi
}

stand_in=(--volume="$build/tests/fake-bin:/opt/stand-in:ro"
  --env=PATH=/opt/stand-in:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)

# start_image NAME READY [docker run options...] [-- server arguments...]:
# runs the image detached and waits until its output has a line matching
# READY.
start_image() {
  local name=$1 ready=$2 options=()
  shift 2
  while (($#)) && [[ $1 != -- ]]; do
    options+=("$1")
    shift
  done
  (($#)) && shift
  containers+=("$name")
  "${docker[@]}" run --detach --name="$name" "${options[@]}" "$image" "$@" >/dev/null
  wait_until 60 container_ready_or_ended "$name" "$ready" || echo "integration: $name: no \"$ready\" in 60 s" >&2
}

# Not grep -q: it stops reading at the first match, and the writer's broken
# pipe would make the pipeline fail under pipefail.
output_has() { "${docker[@]}" logs "$1" 2>&1 | grep -E -- "$2" >/dev/null; }
container_ready_or_ended() {
  output_has "$@" || [[ $("${docker[@]}" inspect --format='{{.State.Running}}' "$1") != true ]]
}

# finish_container NAME: keeps its output in $scratch/NAME.log and its exit
# code in $scratch/NAME.status, then removes it (with vfs each container is
# a full copy of the image); waits at most 30 s for the container to end.
finish_container() {
  timeout 30 "${docker[@]}" wait "$1" >/dev/null || true
  "${docker[@]}" logs "$1" >"$scratch/$1.log" 2>&1
  echo "ExitCode=$("${docker[@]}" inspect --format='{{.State.ExitCode}}' "$1")" >>"$scratch/$1.status"
  "${docker[@]}" rm --force "$1" >/dev/null
}

# stop_image NAME: docker stop --time 10, timed, then finish_container.
stop_image() {
  local before after
  before=$(date +%s%N)
  "${docker[@]}" stop --time=10 "$1" >/dev/null
  after=$(date +%s%N)
  echo "StopMilliseconds=$(((after - before) / 1000000))" >"$scratch/$1.status"
  finish_container "$1"
}

exit_code_is() { has_line "$scratch/$1.status" "ExitCode=$2"; }

launcher_is_process_1() {
  local pid
  pid=$("${docker[@]}" inspect --format='{{.State.Pid}}' "$1") && [[ $(<"/proc/$pid/comm") == launcher ]]
}

# The output so far, kept in $scratch/NAME.running.log.
orphan_reaped() {
  "${docker[@]}" logs "$1" >"$scratch/$1.running.log" 2>&1
  has_line "$scratch/$1.running.log" 'orphan reaped'
}

# The user the image runs as, which owns the server's folder.
image_user=10000:10000

# The real uid and gid of the container's process 1, as "uid:gid".
process_1_user() {
  local pid
  pid=$("${docker[@]}" inspect --format='{{.State.Pid}}' "$1") &&
    awk '/^Uid:/ { uid = $2 } /^Gid:/ { gid = $2 } END { print uid ":" gid }' "/proc/$pid/status"
}
runs_as_image_user() { [[ $(process_1_user "$1") == "$image_user" ]]; }

image_folder_mode_is() {
  [[ $("${docker[@]}" run --rm --entrypoint=stat "$image" -c %a /srv/game) == "$1" ]]
}

docker_checks() {
  # An operator's own server folder, owned by the image's user, bind-mounted.
  local folder=$scratch/game-folder
  mkdir -p "$folder"
  cp "$build/demo-server/server.jar" "$build/demo-server/server.properties" "$folder/"
  chown -R "$image_user" "$folder"
  start_image docker-demo '^Ready$' --volume="$folder:/srv/game"
  check "container: the launcher runs as $image_user, not root" runs_as_image_user docker-demo
  runs_as_image_user docker-demo || echo "integration: process 1 runs as $(process_1_user docker-demo)" >&2
  # The README's one line from the host.
  "${docker[@]}" exec docker-demo sh -c 'echo "say hi" > /run/game/console' || true
  wait_until 10 output_has docker-demo '^\[Server\] hi$' || true
  check "container: a command from the host through the console is answered" \
    output_has docker-demo '^\[Server\] hi$'
  stop_image docker-demo
  check "container: the demo server's start-up, output and save lines" \
    lines_in_order "$scratch/docker-demo.log" "${demo_server_lines[@]}"
  check "container: docker stop ends the container with 143" exit_code_is docker-demo 143
  check "container: the save is in the host's folder after the container is removed" \
    test -s "$folder/world.sav"
  check "container: the image's server folder is closed to others (0750)" image_folder_mode_is 750

  start_image docker-port '^Ready$' --volume="$folder:/srv/game" -- +port 7778
  stop_image docker-port
  check "container: docker run IMAGE +port 7778 gives the server +port=7778 alone" \
    has_line "$scratch/docker-port.log" "java -Xmx256m -jar server.jar +port=7778 "

  start_image docker-stand-in '^ready$' "${stand_in[@]}" --env='FAKE_JAVA=orphan;signals:500;raise:15'
  check "container: the launcher is process 1" launcher_is_process_1 docker-stand-in
  check "container: an orphan is reaped while the server runs" orphan_reaped docker-stand-in
  stop_image docker-stand-in
  check "container: the server gets the stop once, from process 1, and its last line is relayed" \
    has_line "$scratch/docker-stand-in.log" "$term_once_from_parent"
  check "container: ... and the container's exit code is 143" exit_code_is docker-stand-in 143

  start_image docker-stand-in-alone '^ready$' "${stand_in[@]}" --env='FAKE_JAVA=orphan;signals:500' \
    --entrypoint=/opt/stand-in/java
  control "container, the stand-in as entry point" orphan_reaped docker-stand-in-alone
  stop_image docker-stand-in-alone

  start_image docker-daemon '^ready$' "${stand_in[@]}" \
    --env='FAKE_JAVA=daemon:120000;signals:500;raise:15'
  stop_image docker-daemon
  echo "integration: docker stop with a detached daemon took" \
    "$(sed -n 's/^StopMilliseconds=//p' "$scratch/docker-daemon.status") ms"
  check "container: a detached daemon holding the console: the server gets the stop once and its last line is relayed" \
    has_line "$scratch/docker-daemon.log" "$term_once_from_parent"
  check "container: ... and the exit code is 143, not 137 from the SIGKILL after the timeout" \
    exit_code_is docker-daemon 143

  start_image docker-kill '^ready$' "${stand_in[@]}" --env='FAKE_JAVA=signals:3000'
  local signal
  for signal in HUP INT QUIT; do
    "${docker[@]}" kill --signal="$signal" docker-kill >/dev/null
    sleep 0.3
  done
  finish_container docker-kill
  check "container: docker kill -s HUP, INT and QUIT each reach the server once" \
    has_line "$scratch/docker-kill.log" "sig1=1 sig2=1 sig3=1 from launcher=3 others=0"
}
