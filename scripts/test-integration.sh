#!/usr/bin/env bash
# The shipped unit and Dockerfile (contrib/) under the real managers, as an
# operator uses them: systemd as process 1 of a container that
# systemd-nspawn boots on a Debian 12 tree, and a dockerd of this stage's own
# with the Dockerfile built on that tree as its base. They run the launcher
# with the demo server on a real JVM, and with the stand-in java that reports
# each stop signal it gets and who sent it.
#
# Needs root, systemd-container, mmdebstrap and docker.io (installed below
# when missing), and Debian's archive through the host's apt sources. Each
# daemon and container it starts is stopped by its own process id, and what
# it made is removed at the end; the checks' logs stay in build/ci-integration.
#
#   INTEGRATION_UNIT=file, INTEGRATION_DOCKERFILE=file   check these instead
#   of the shipped files (to see a check fail on a unit or Dockerfile that
#   lacks what it needs)
# shellcheck source-path=SCRIPTDIR/..
set -euo pipefail
unit_source=${INTEGRATION_UNIT:+$(realpath "$INTEGRATION_UNIT")}
dockerfile_source=${INTEGRATION_DOCKERFILE:+$(realpath "$INTEGRATION_DOCKERFILE")}
cd "$(dirname "$0")/.."
repo=$PWD
unit_source=${unit_source:-$repo/contrib/launcher.service}
dockerfile_source=${dockerfile_source:-$repo/contrib/Dockerfile}
# The native stage's build (its preset), so that nothing is built twice.
build=$repo/build/native
logs=$repo/build/ci-integration
started=$SECONDS
scripts/install-packages.sh cmake make g++ libgtest-dev javac=default-jdk-headless util-linux \
  systemd-nspawn=systemd-container mmdebstrap dockerd=docker.io pgrep=procps help2man

step() { echo "test-integration: $* ($((SECONDS - started)) s)"; }

. tests/integration/checks.sh
. tests/integration/systemd.sh
. tests/integration/docker.sh

# What the launcher and the demo server print from start to save.
demo_server_lines=(
  "Set environment variable to 517093"
  "java -Xmx256m -jar server.jar +port=7777 "
  "Demo server starting"
  "Ready"
  "Saving world..."
  "World saved")

# The stand-in's report for a server that had SIGTERM once, from its parent.
term_once_from_parent="sig15=1 from launcher=1 others=0"

running() {
  local state
  state=$(ps -o stat= -p "$1") && [[ $state != Z* ]]
}

# stop_process PID SECONDS: SIGTERM, and SIGKILL if it is still there after
# SECONDS; then collects its status.
stop_process() {
  local pid=$1 deadline=$((SECONDS + $2))
  kill -TERM "$pid" 2>/dev/null || true
  while running "$pid" && ((SECONDS < deadline)); do sleep 0.2; done
  if running "$pid"; then
    echo "test-integration: process $pid did not stop within $2 s, killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  local status=$? left
  set +e
  trap - EXIT INT TERM HUP
  stop_dockerd
  stop_nspawn
  rm -rf "$logs"
  mkdir -p "$logs"
  cp "$scratch"/*.log "$scratch"/*.journal "$scratch"/*.status "$scratch"/docker/dockerd.log \
    "$logs/" 2>/dev/null
  # Mounts that a daemon may have left under the scratch folder, innermost first.
  findmnt --list --noheadings --output=TARGET | grep -F "$scratch/" | sort -r |
    xargs -r umount --lazy
  rm -rf --one-file-system "$scratch"
  if left=$(pgrep -a -f "$scratch"); then
    echo "test-integration: still running after the cleanup:" >&2
    echo "$left" >&2
    status=1
  fi
  exit "$status"
}

step "build"
cmake --preset native >/dev/null
cmake --build "$build" -j "$(nproc)" --target launcher fake_java demo_server >/dev/null

scratch=$(mktemp -d "${TMPDIR:-/tmp}/launcher-integration.XXXXXX")
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

step "Debian 12 tree (mmdebstrap)"
# One tree serves both: the minimal system, taken as it is for the
# Dockerfile's base image, then with systemd and a JRE for systemd-nspawn.
tree=$scratch/tree
base_tar=$scratch/base.tar
sources=()
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [[ -s $file ]] && sources+=("$file")
done
# shellcheck disable=SC2016 # "$1" in a hook is the tree, filled in by mmdebstrap
mmdebstrap --quiet --variant=minbase \
  --customize-hook="tar -C \"\$1\" --one-file-system --exclude=./var/lib/apt/lists/* \
    --exclude=./var/cache/apt/*.bin -cf '$base_tar' ." \
  --customize-hook='DEBIAN_FRONTEND=noninteractive chroot "$1" apt-get install -y -q --no-install-recommends systemd openjdk-17-jre-headless >/dev/null' \
  bookworm "$tree" "${sources[@]}"
install -D --target-directory="$tree/srv/game" "$build/launcher/launcher" \
  "$build/demo-server/server.jar" "$build/demo-server/server.properties"
install -D --target-directory="$tree$stand_in_dir" "$build/tests/fake-bin/java"
# The shipped unit's user, as the README tells an operator to make it; it
# owns the server's folder.
chroot "$tree" useradd --system --home-dir /srv/game --shell /usr/sbin/nologin launcher
chown -R "$(chroot "$tree" id -u launcher):$(chroot "$tree" id -g launcher)" "$tree/srv/game"
chmod 0750 "$tree/srv/game"

step "Debian package of the native build's launcher (scripts/make-deb.sh)"
# The licences are the release stage's to check; this package is for the
# service checks.
echo "Integration build; see the release's THIRD-PARTY-NOTICES." >"$scratch/THIRD-PARTY-NOTICES"
# A second package of a later version, for the upgrade.
for version in "$(<VERSION)" "$(<VERSION)+upgrade"; do
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s) scripts/make-deb.sh \
    "$build/launcher/launcher" "$version" "Integration <integration@example.invalid>" "" \
    "$scratch/THIRD-PARTY-NOTICES" "$scratch/deb" "$scratch/launcher_$version.deb" >/dev/null
done

step "systemd (systemd-nspawn --boot), ${unit_source#"$repo/"}"
boot_nspawn
systemd_checks
step "the package under systemd: launcher@demo"
package_checks "$scratch/launcher_$(<VERSION).deb" "$scratch/launcher_$(<VERSION)+upgrade.deb"
stop_nspawn

step "container engine (dockerd)"
start_dockerd
step "docker build of ${dockerfile_source#"$repo/"}"
build_image
step "container checks"
docker_checks
step "the scratch folder at its fullest: $(du -sh --one-file-system "$scratch" | cut -f1)"
stop_dockerd

if ((failures)); then
  step "$failures check(s) failed; logs in $logs"
  exit 1
fi
step "all integration checks passed"
