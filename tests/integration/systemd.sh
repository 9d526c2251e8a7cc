# shellcheck shell=bash
# contrib/launcher.service under systemd as process 1 of a container that
# systemd-nspawn boots on the Debian tree (sourced by
# scripts/test-integration.sh, which sets tree, scratch and repo).
#
# There is no systemd on the host to register the container with, hence
# --keep-unit --register=no; the container's manager is reached by entering
# its namespaces. The launcher, server.jar and server.properties sit in
# /srv/game, the folder the shipped unit names, so the unit is used as it is;
# a drop-in puts the stand-in java first on PATH where a check needs it.

unit_file=/etc/systemd/system/launcher.service
stand_in_dir=/opt/stand-in

boot_nspawn() {
  systemd-nspawn --boot --keep-unit --register=no --private-network --quiet \
    --console=read-only --directory="$tree" >"$scratch/nspawn.log" 2>&1 </dev/null &
  nspawn_pid=$!
  local state=
  # systemctl --wait needs the manager's socket to be there already.
  if wait_until 30 find_nspawn_init && wait_until 60 manager_listening; then
    state=$(timeout 120 nsenter --target "$init_pid" --all --root --wd \
      systemctl is-system-running --wait) || true
    echo "integration: the container's systemd is $state"
  fi
  if [[ ${state-} != running && ${state-} != degraded ]]; then
    show_file "systemd-nspawn's console" "$scratch/nspawn.log"
    return 1
  fi
}

# The container's process 1 is the child of systemd-nspawn that runs systemd.
find_nspawn_init() { init_pid=$(pgrep --parent "$nspawn_pid" --exact systemd); }

manager_listening() { in_container test -S /run/systemd/private; }

in_container() { nsenter --target "$init_pid" --all --root --wd -- "$@"; }

# Asks the container's systemd to power off and waits for systemd-nspawn.
stop_nspawn() {
  [[ -n ${nspawn_pid-} ]] || return 0
  stop_process "$nspawn_pid" 60
  nspawn_pid=
}

# configure_unit SED-SCRIPT STAND-IN-ACTIONS: the shipped unit with the lines
# the sed script deletes taken out; the stand-in java when actions are given,
# the real JVM otherwise.
configure_unit() {
  sed -e "$1" "$unit_source" >"$tree$unit_file"
  rm -rf "$tree$unit_file.d"
  if [[ -n $2 ]]; then
    mkdir "$tree$unit_file.d"
    printf '[Service]\nEnvironment="PATH=%s:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin" "FAKE_JAVA=%s"\n' \
      "$stand_in_dir" "$2" >"$tree$unit_file.d/stand-in.conf"
  fi
  rm -f "$tree/srv/game/world.sav"
  in_container systemctl daemon-reload
  # Enabled, the unit stays loaded after it stops, with its last status.
  in_container systemctl enable --quiet launcher.service
}

journal() { in_container journalctl --no-pager --output=cat "_SYSTEMD_INVOCATION_ID=$1"; }
journal_has() { journal "$1" | grep -E -- "$2" >/dev/null; }  # not -q: see docker.sh
unit_ready_or_ended() {
  journal_has "$@" || ! in_container systemctl --quiet is-active launcher.service
}

# run_unit NAME READY LAST: systemctl start; once the server's output has a
# line matching READY, systemctl stop; then waits for a line matching LAST.
# Leaves the service's output in $scratch/NAME.journal and the unit's state,
# result, main status and the stop's duration in $scratch/NAME.status.
run_unit() {
  local name=$1 ready=$2 last=$3 id before after
  # Also resets the start rate limit, which the repeated runs would reach.
  in_container systemctl reset-failed launcher.service 2>/dev/null || true
  in_container systemctl start launcher.service || echo "integration: $name: start failed" >&2
  id=$(in_container systemctl show --property=InvocationID --value launcher.service)
  wait_until 60 unit_ready_or_ended "$id" "$ready" || echo "integration: $name: no \"$ready\" in 60 s" >&2
  before=$(date +%s%N)
  in_container systemctl stop launcher.service
  after=$(date +%s%N)
  wait_until 10 journal_has "$id" "$last" || true
  journal "$id" >"$scratch/$name.journal"
  {
    in_container systemctl show --property=ActiveState,Result,ExecMainStatus launcher.service
    echo "StopMilliseconds=$(((after - before) / 1000000))"
  } >"$scratch/$name.status"
}

status_of() { sed -n "s/^$2=//p" "$scratch/$1.status"; }

# The unit stopped, with the server's end on SIGTERM counted as success.
ended_cleanly() {
  [[ $(status_of "$1" ActiveState) == inactive && $(status_of "$1" Result) == success &&
    $(status_of "$1" ExecMainStatus) == 143 ]]
}

# every_run CHECK NAME...: the check holds for each run.
every_run() {
  local check=$1 name
  shift
  for name; do "$check" "$name" || return 1; done
}

stopped_cleanly_within() { ended_cleanly "$1" && (($(status_of "$1" StopMilliseconds) < $2 * 1000)); }

# The stand-in's report: SIGTERM once, sent by its parent, the launcher.
# systemd follows its SIGTERM with a SIGCONT (so that a stopped process can
# act on it), which the launcher passes on as well.
term_once_from_launcher() {
  has_line "$scratch/$1.journal" "$term_once_from_parent" ||
    has_line "$scratch/$1.journal" "sig15=1 sig18=1 from launcher=2 others=0"
}

# The journal keeps a line without its trailing blanks.
demo_server_run() {
  lines_in_order "$scratch/$1.journal" "${demo_server_lines[0]}" "${demo_server_lines[1]% }" \
    "${demo_server_lines[@]:2}" && test -s "$tree/srv/game/world.sav"
}

systemd_checks() {
  configure_unit '' ''
  run_unit unit-demo '^Ready$' '^World saved$'
  check "systemd: the journal holds the start-up lines, the demo server's output and its save lines" \
    demo_server_run unit-demo
  check "systemd: the unit ends inactive, the server's 143 counted as success" ended_cleanly unit-demo
  ended_cleanly unit-demo || show_file "unit state" "$scratch/unit-demo.status"
  demo_server_run unit-demo || show_file "journal" "$scratch/unit-demo.journal"

  configure_unit '/^SuccessExitStatus=/d' ''
  run_unit unit-no-success-status '^Ready$' '^World saved$'
  control "systemd, the unit without SuccessExitStatus=143" ended_cleanly unit-no-success-status

  configure_unit '' 'signals:500;raise:15'
  run_unit unit-stand-in '^ready$' '^sig[0-9]+='
  check "systemd: the server gets SIGTERM once, from the launcher" term_once_from_launcher unit-stand-in
  check "systemd: ... and the unit ends inactive with success" ended_cleanly unit-stand-in
  term_once_from_launcher unit-stand-in || show_file "journal" "$scratch/unit-stand-in.journal"

  # Without KillMode=mixed systemd signals every process of the unit itself.
  local runs=10 run names=() twice=0 by_manager=0 report
  configure_unit '/^KillMode=/d' 'signals:500;raise:15'
  for ((run = 1; run <= runs; run++)); do
    names+=("unit-no-mixed-$run")
    run_unit "unit-no-mixed-$run" '^ready$' '^sig[0-9]+='
    report=$(grep -E '^sig[0-9]+=' "$scratch/unit-no-mixed-$run.journal" || true)
    [[ $report == "sig15=2 "* ]] && twice=$((twice + 1))
    [[ $report =~ others=[1-9] ]] && by_manager=$((by_manager + 1))
  done
  echo "integration: without KillMode=mixed the server had SIGTERM from systemd too in" \
    "$by_manager of $runs stops, counted twice in $twice"
  control "systemd, the unit without KillMode=mixed" every_run term_once_from_launcher "${names[@]}"

  configure_unit '' 'daemon:120000;signals:500;raise:15'
  run_unit unit-daemon '^ready$' '^sig[0-9]+='
  echo "integration: the stop with a detached daemon took $(status_of unit-daemon StopMilliseconds) ms"
  check "systemd: a detached daemon holding the console: the server gets SIGTERM once, from the launcher" \
    term_once_from_launcher unit-daemon
  check "systemd: ... and the stop ends within 20 s, not at TimeoutStopSec, inactive with success" \
    stopped_cleanly_within unit-daemon 20
  stopped_cleanly_within unit-daemon 20 || show_file "unit state" "$scratch/unit-daemon.status"
}

# The Debian package as an operator installs it: apt install, the demo server
# copied into /var/lib/launcher/demo, systemctl enable --now launcher@demo.
package_unit=launcher@demo.service
package_folder=/var/lib/launcher/demo

package_journal() { in_container journalctl --no-pager --output=cat --unit="$package_unit"; }
package_journal_count() { package_journal | grep -cxE -- "$1" || true; }
package_user_exists() { in_container id -u launcher >/dev/null; }
package_show() { in_container systemctl show --property="$1" --value "$package_unit"; }

# "name uid" of each launcher and java process in the container (the tree
# has no procps).
container_processes() {
  in_container sh -c 'cat /proc/[0-9]*/status 2>/dev/null' |
    awk '/^Name:/ { name = $2 } /^Uid:/ && (name == "launcher" || name == "java") { print name, $2 }'
}

runs_as_package_user() {
  local uid found
  uid=$(in_container id -u launcher) && found=$(container_processes | sort -u | tr '\n' ' ') &&
    [[ $found == "java $uid launcher $uid " ]]
}

# systemd-analyze security's overall exposure of the unit, a number.
package_exposure() {
  in_container systemd-analyze security --no-pager "$package_unit" 2>/dev/null |
    sed -n 's/^→ Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p'
}
exposure_at_most() { awk -v e="$(package_exposure)" -v limit="$1" 'BEGIN { exit !(e != "" && e <= limit) }'; }

readies_at_least() { (($(package_journal_count '^Ready$') >= $1)); }
restarted_and_ready() { [[ $(package_show NRestarts) == 1 ]] && readies_at_least 2; }

package_stopped_and_saved() {
  [[ $(package_show ActiveState) == inactive && $(package_show Result) == success ]] &&
    package_journal | grep -qxF "World saved" && test -s "$tree$package_folder/world.sav"
}

package_checks() {
  local deb=$1
  # Not in /tmp: the booted system has a tmpfs there.
  cp "$deb" "$tree/root/launcher.deb"
  # No network in the container: the JRE the package recommends is there.
  if ! in_container env DEBIAN_FRONTEND=noninteractive apt-get install -y -q /root/launcher.deb \
    >"$scratch/package-install.log" 2>&1; then
    fail "package: apt-get install ./launcher_*.deb"
    show_file "apt-get install" "$scratch/package-install.log"
    return
  fi
  pass "package: apt-get install ./launcher_*.deb"
  check "package: the system user launcher exists" package_user_exists
  mkdir -p "$tree$package_folder"
  cp "$build/demo-server/server.jar" "$build/demo-server/server.properties" "$tree$package_folder/"
  in_container systemctl enable --now --quiet "$package_unit"
  wait_until 60 readies_at_least 1 || echo "integration: $package_unit: no \"Ready\" in 60 s" >&2
  check "package: launcher@demo runs the server as the user launcher" runs_as_package_user
  runs_as_package_user || echo "integration: the unit's processes (name uid): $(container_processes)" >&2
  echo "integration: systemd-analyze security $package_unit: $(package_exposure)"
  check "package: systemd-analyze security rates the unit 2.0 or better" exposure_at_most 2.0

  # A crash: the JVM killed with SIGSEGV; Restart=on-failure brings it back.
  # shellcheck disable=SC2016 # expanded by the container's shell
  in_container sh -c 'for p in /proc/[0-9]*; do
    [ "$(cat "$p/comm" 2>/dev/null)" = java ] && kill -SEGV "${p#/proc/}"; done; true'
  wait_until 90 restarted_and_ready || true
  check "package: after kill -SEGV of the JVM the unit restarts the server once" restarted_and_ready

  in_container systemctl stop "$package_unit"
  wait_until 10 package_stopped_and_saved || true
  package_journal >"$scratch/package.journal"
  check "package: systemctl stop saves the world and ends the unit with success" \
    package_stopped_and_saved
  package_stopped_and_saved || show_file "journal" "$scratch/package.journal"
}
