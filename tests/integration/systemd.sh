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
# Where the stand-in writes its report too, for a run whose launcher is gone.
stand_in_record=/srv/game/stand-in-record

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
    printf '[Service]\nEnvironment="PATH=%s:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin" "FAKE_JAVA=%s" "FAKE_JAVA_RECORD=%s"\n' \
      "$stand_in_dir" "$2" "$stand_in_record" >"$tree$unit_file.d/stand-in.conf"
  fi
  rm -f "$tree/srv/game/world.sav" "$tree$stand_in_record" "$tree$stand_in_record.signals"
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

  # Without the unit's own stop (ExecStop=), systemd signals every process
  # of the unit itself.
  local runs=10 run names=() twice=0 by_manager=0 report
  configure_unit '/^ExecStop=/,/^KillMode=/{/^KillMode=/!d}' 'signals:500;raise:15'
  for ((run = 1; run <= runs; run++)); do
    names+=("unit-no-exec-stop-$run")
    run_unit "unit-no-exec-stop-$run" '^ready$' '^sig[0-9]+='
    report=$(grep -E '^sig[0-9]+=' "$scratch/unit-no-exec-stop-$run.journal" || true)
    [[ $report == "sig15=2 "* ]] && twice=$((twice + 1))
    [[ $report =~ others=[1-9] ]] && by_manager=$((by_manager + 1))
  done
  echo "integration: without ExecStop= the server had SIGTERM from systemd too in" \
    "$by_manager of $runs stops, counted twice in $twice"
  control "systemd, the unit without ExecStop=" every_run term_once_from_launcher "${names[@]}"

  configure_unit '' 'daemon:120000;signals:500;raise:15'
  run_unit unit-daemon '^ready$' '^sig[0-9]+='
  echo "integration: the stop with a detached daemon took $(status_of unit-daemon StopMilliseconds) ms"
  check "systemd: a detached daemon holding the console: the server gets SIGTERM once, from the launcher" \
    term_once_from_launcher unit-daemon
  check "systemd: ... and the stop ends within 20 s, not at TimeoutStopSec, inactive with success" \
    stopped_cleanly_within unit-daemon 20
  stopped_cleanly_within unit-daemon 20 || show_file "unit state" "$scratch/unit-daemon.status"

  # kill -9 of the launcher. The stand-in takes a second to report the
  # SIGTERM it got, as a large world takes to save; with KillMode=mixed
  # systemd sends SIGKILL at once and the report is lost.
  configure_unit '' ''
  killed_run unit-killed '^Ready$' demo_saved
  check "systemd: kill -9 of the launcher: the server still saves the world" \
    killed_run_done unit-killed
  configure_unit '' 'signals:1000'
  killed_run unit-killed-slow '^ready$' slow_save_done
  check "systemd: ... and a server that takes a second for it gets SIGTERM and that second" \
    killed_run_done unit-killed-slow
  configure_unit 's/^KillMode=.*/KillMode=mixed/' 'signals:1000'
  killed_run unit-killed-mixed '^ready$' slow_save_done
  control "systemd, the unit with KillMode=mixed, kill -9 of the launcher" \
    killed_run_done unit-killed-mixed
}

demo_saved() { test -s "$tree/srv/game/world.sav"; }
slow_save_done() { grep -E '^sig15=' "$tree$stand_in_record.signals" >/dev/null 2>&1; }
killed_run_done() { has_line "$scratch/$1.status" "Done=yes"; }

# killed_run NAME READY DONE: starts the unit and, once the server's output
# has a line matching READY, kill -9 of the launcher; waits up to 20 s for
# the check DONE (the server's output has no reader any more, so what it
# leaves in files tells) and notes its result in $scratch/NAME.status
# (Done=yes or no) before it stops the unit, which Restart= may have started
# again, and whose server would leave those files on that stop.
killed_run() {
  local id pid
  in_container systemctl reset-failed launcher.service 2>/dev/null || true
  in_container systemctl start launcher.service || echo "integration: $1: start failed" >&2
  id=$(in_container systemctl show --property=InvocationID --value launcher.service)
  wait_until 60 unit_ready_or_ended "$id" "$2" || echo "integration: $1: no \"$2\" in 60 s" >&2
  pid=$(in_container systemctl show --property=MainPID --value launcher.service)
  # shellcheck disable=SC2016 # expanded by the container's shell
  in_container sh -c 'kill -KILL "$1"' sh "$pid" || true
  if wait_until 20 "$3"; then echo Done=yes; else echo Done=no; fi >"$scratch/$1.status"
  journal "$id" >"$scratch/$1.journal"
  in_container systemctl stop launcher.service
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

package_console=/run/launcher/demo/console

# say_as USER WORD: "say WORD" written to the instance's console as USER.
say_as() { in_container runuser -u "$1" -- sh -c "echo 'say $2' >$package_console" 2>/dev/null; }
server_said() { package_journal | grep -qxF "[Server] $1"; }

# "type mode owner:group" of a path in the container.
path_is() { [[ $(in_container stat -c '%F %a %U:%G' "$1" 2>/dev/null) == "$2" ]]; }

# The instance and every other launcher process gone, the unit unknown or dead.
nothing_left_running() {
  [[ -z $(container_processes) ]] &&
    ! in_container systemctl list-units --all --plain --no-legend 'launcher@*' | grep running >/dev/null
}

dangling_links() { in_container find /etc/systemd/system -name 'launcher@*.service' -xtype l; }
no_dangling_link() { [[ -z $(dangling_links) ]]; }

refused() { ! "$@"; }
server_said_both() { server_said "$1" && server_said "$2"; }
saves_counted() { [[ $(package_journal | grep -cxF "World saved") == "$1" ]]; }
console_modes() {
  path_is "$package_console" "fifo 620 launcher:launcher" &&
    path_is "${package_console%/*}" "directory 710 launcher:launcher"
}
stopped_without_console() {
  [[ $(package_show ActiveState) == inactive ]] && ! in_container test -e "$package_console"
}
neither_enabled_nor_active() {
  ! in_container systemctl --quiet is-enabled "$1" && ! in_container systemctl --quiet is-active "$1"
}
# unit_properties_are UNIT PROPERTY,... VALUES: the properties' values, in
# that order, separated by blanks (systemctl show has an order of its own).
unit_properties_are() {
  local property values=()
  local -a properties
  IFS=, read -ra properties <<<"$2"
  for property in "${properties[@]}"; do
    values+=("$(in_container systemctl show --property="$property" --value "$1")")
  done
  [[ ${values[*]} == "$3" ]]
}

package_checks() {
  local deb=$1 upgrade=$2
  # Not in /tmp: the booted system has a tmpfs there.
  cp "$deb" "$tree/root/launcher.deb"
  cp "$upgrade" "$tree/root/launcher-upgrade.deb"
  # No network in the container: the JRE the package recommends is there.
  if ! in_container env DEBIAN_FRONTEND=noninteractive apt-get install -y -q /root/launcher.deb \
    >"$scratch/package-install.log" 2>&1; then
    fail "package: apt-get install ./launcher_*.deb"
    show_file "apt-get install" "$scratch/package-install.log"
    return
  fi
  pass "package: apt-get install ./launcher_*.deb"
  check "package: the system user launcher exists" package_user_exists
  # As the README tells an operator: the folder made by root (mode 0755),
  # the server's files copied in; an operator in the group launcher.
  mkdir -p "$tree$package_folder"
  cp "$build/demo-server/server.jar" "$build/demo-server/server.properties" "$tree$package_folder/"
  in_container useradd --groups launcher alice
  in_container systemctl enable --now --quiet "$package_unit"
  wait_until 60 readies_at_least 1 || echo "integration: $package_unit: no \"Ready\" in 60 s" >&2
  check "package: launcher@demo runs the server as the user launcher" runs_as_package_user
  runs_as_package_user || echo "integration: the unit's processes (name uid): $(container_processes)" >&2
  echo "integration: systemd-analyze security $package_unit: $(package_exposure)"
  check "package: systemd-analyze security rates the unit 2.0 or better" exposure_at_most 2.0
  check "package: the server's folder is closed to others (0750)" \
    path_is "$package_folder" "directory 750 launcher:launcher"

  # The console.
  check "package: the console is a FIFO only its user reads, in a folder only the group enters" \
    console_modes
  say_as root from-root
  say_as alice from-alice
  wait_until 10 server_said_both from-root from-alice || true
  check "package: root's command through the console is answered in the journal" \
    server_said from-root
  check "package: ... and so is that of a member of the group launcher" server_said from-alice
  check "package: a user outside the group cannot write to the console" \
    refused say_as nobody from-nobody
  control "package, the console's answer to a command never sent" server_said from-nobody

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
  # A write after the stop fails (the folder is gone) and starts nothing:
  # longer than RestartSec later the unit is still inactive.
  check "package: a write to the console after the stop fails" refused say_as root after-stop
  sleep 7
  check "package: ... the unit stays stopped and nothing is left at the console's path" \
    stopped_without_console

  package_failures_checks

  # Upgrade while the instance runs: it is named as still on the old launcher.
  in_container systemctl start "$package_unit"
  wait_until 60 readies_at_least 3 || true
  in_container env DEBIAN_FRONTEND=noninteractive apt-get install -y -q /root/launcher-upgrade.deb \
    >"$scratch/package-upgrade.log" 2>&1 || true
  check "package: the upgrade names the instance still running the old launcher" \
    grep -qF "still running the launcher before $(<"$repo/VERSION"): $package_unit" \
    "$scratch/package-upgrade.log"

  # Removal stops the instance; purge leaves no dangling link, and a new
  # install does not enable the instance again.
  local saves
  saves=$(package_journal | grep -cxF "World saved" || true)
  in_container env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q launcher \
    >"$scratch/package-remove.log" 2>&1 || true
  check "package: apt-get remove leaves nothing running" nothing_left_running
  nothing_left_running || in_container systemctl list-units --all --no-pager 'launcher@*' >&2
  check "package: ... the instance saved its world on the way" saves_counted $((saves + 1))
  control "package, before the purge: the instance's link dangles" no_dangling_link
  in_container env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q launcher \
    >"$scratch/package-purge.log" 2>&1 || true
  check "package: apt-get purge leaves no dangling link" no_dangling_link
  check "package: ... and the server's folder with its world" test -s "$tree$package_folder/world.sav"
  in_container env DEBIAN_FRONTEND=noninteractive apt-get install -y -q /root/launcher.deb \
    >>"$scratch/package-install.log" 2>&1 || true
  check "package: installed again, the instance is neither enabled nor running" \
    neither_enabled_nor_active "$package_unit"
}

# Failures that do not mend: no restart loop.
package_failures_checks() {
  local unit=launcher@nojar.service
  in_container mkdir -p /var/lib/launcher/nojar
  in_container systemctl start "$unit" || true
  sleep 8
  check "package: without server.jar (java's status 1) the unit fails and is not restarted" \
    unit_properties_are "$unit" ActiveState,NRestarts "failed 0"
  # Without RestartPreventExitStatus= the start limit ends the loop: the
  # first start and five restarts RestartSec apart, then "Start request
  # repeated too quickly" and the unit stays failed.
  mkdir -p "$tree/etc/systemd/system/$unit.d"
  printf '[Service]\nRestartPreventExitStatus=\n' >"$tree/etc/systemd/system/$unit.d/loop.conf"
  in_container systemctl daemon-reload
  in_container systemctl reset-failed "$unit"
  in_container systemctl start "$unit" || true
  sleep 8
  control "package, the unit without RestartPreventExitStatus=" \
    unit_properties_are "$unit" NRestarts 0
  wait_until 60 unit_properties_are "$unit" ActiveState,NRestarts "failed 5" || true
  check "package: ... a failure not in that list ends with the start limit within a minute" \
    unit_properties_are "$unit" ActiveState,NRestarts "failed 5"
  rm -rf "$tree/etc/systemd/system/$unit.d"
  in_container systemctl daemon-reload
  in_container systemctl reset-failed "$unit"
}
