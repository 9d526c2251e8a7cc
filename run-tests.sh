#!/usr/bin/env bash
# Builds the launcher and runs every test: the native build's unit and
# end-to-end tests, then the further stages below. Installs what it needs
# from Debian first when it is missing (run as root on a fresh machine).
#
#   ./run-tests.sh            every stage
#   ./run-tests.sh native     only the named stages (native, windows, quality,
#                             release, integration)
set -euo pipefail
cd "$(dirname "$0")"

# Debian packages the stages need. The 32-bit wine (wine32:i386) runs the
# 32-bit Windows executable; it needs the i386 architecture in dpkg.
packages=(cmake g++ make libgtest-dev javac=default-jdk-headless util-linux
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest wine64 wine32:i386 locales
  python3 python3-pefile
  clang++=clang clang-tidy=clang-tidy clang-format=clang-format libclang-rt-14-dev
  llvm-symbolizer=llvm git readelf=binutils xz-utils
  systemd-nspawn=systemd-container mmdebstrap dockerd=docker.io pgrep=procps tmux)
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
scripts/install-packages.sh "${packages[@]}"

stages=("$@")
((${#stages[@]})) || stages=(native windows quality release integration)
for stage in "${stages[@]}"; do
  echo "run-tests: stage $stage"
  "scripts/test-$stage.sh"
done
echo "run-tests: all stages passed (${stages[*]})"
