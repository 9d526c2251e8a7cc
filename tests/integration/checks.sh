# shellcheck shell=bash
# Reporting and waiting for the integration stage (sourced by
# scripts/test-integration.sh). A check that fails is counted and the stage
# goes on, so that one run shows every failing check.

failures=0

pass() { echo "integration: ok    $*"; }
fail() {
  echo "integration: FAIL  $*" >&2
  failures=$((failures + 1))
}

# check DESCRIPTION COMMAND...: the command must succeed.
check() {
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# control DESCRIPTION COMMAND...: the same kind of check on a setup that is
# broken on purpose; it must fail there, or it could not catch the fault.
control() {
  local what=$1
  shift
  if "$@"; then
    fail "control, $what: the check passed on a broken setup"
  else
    pass "control, $what: the check fails, as it must"
  fi
}

# wait_until SECONDS COMMAND...: polls the command every 0.2 s.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}

# has_line FILE LINE: the file holds exactly this line.
has_line() { grep -qxF -- "$2" "$1"; }

# lines_in_order FILE LINE...: the file holds these exact lines, in this order
# (other lines may come between them).
lines_in_order() {
  local file=$1
  shift
  awk 'BEGIN { for (i = 1; i < ARGC; i++) want[i] = ARGV[i]; n = ARGC - 1; ARGC = 1; k = 1 }
       k <= n && $0 == want[k] { k++ }
       END { exit k <= n }' "$@" <"$file"
}

# show_file TITLE FILE: what a failed check saw.
show_file() {
  echo "---- $1" >&2
  sed 's/^/  | /' "$2" >&2
}
