#!/usr/bin/env bash
# The Windows executables, cross-compiled with MinGW-w64 and warnings as
# errors: the 32-bit release build, whose image (header settings, imports,
# resources) is checked, and the 64-bit build of the same sources, whose unit
# and end-to-end tests run under wine64.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

# The presets build with warnings as errors.
for preset in windows-x86 windows-x64; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done

# pefile comes from Debian's python3-pefile, for Debian's own Python.
python=/usr/bin/python3
version=$(sed -n 's/^#define LAUNCHER_VERSION "\(.*\)"$/\1/p' build/windows-x86/launcher/version.h)
"$python" tests/windows/check_image.py --machine x86 --file-version "$version" \
  build/windows-x86/launcher/launcher.exe
"$python" tests/windows/check_image.py --machine x64 --file-version "$version" \
  build/windows-x64/launcher/launcher.exe

ctest --preset windows-x64
echo "test-windows: passed in $((SECONDS - started)) s"
