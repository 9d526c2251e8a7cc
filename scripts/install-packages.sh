#!/usr/bin/env bash
# Installs the named Debian packages that are not installed yet (as root).
# A name of the form "command=package" is satisfied when the command exists.
set -euo pipefail
missing=()
for wanted in "$@"; do
  if [[ $wanted == *=* ]]; then
    command -v "${wanted%%=*}" >/dev/null 2>&1 || missing+=("${wanted#*=}")
  else
    dpkg-query -W -f='${Status}' "$wanted" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$wanted")
  fi
done
((${#missing[@]})) || exit 0
echo "installing from Debian: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
