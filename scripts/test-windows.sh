#!/usr/bin/env bash
# The Windows executables, cross-compiled with MinGW-w64 and warnings as
# errors: the 32-bit release build, whose image (header settings, imports,
# resources) is checked and whose unit and end-to-end tests run under 32-bit
# wine (Debian's wine32), and the 64-bit build of the same sources, tested
# under wine64. A machine whose kernel cannot run 32-bit programs says so and
# runs the rest.
set -euo pipefail
cd "$(dirname "$0")/.."
# The 32-bit wine (wine32:i386) runs the 32-bit executable; it needs the
# i386 architecture in dpkg. googletest's sources are built for Windows.
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
scripts/install-packages.sh cmake make g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
  googletest wine64 wine32:i386 locales python3 python3-pefile
started=$SECONDS

# The presets build with warnings as errors.
for preset in windows-x86 windows-x64; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done

# pefile comes from Debian's python3-pefile, for Debian's own Python.
python=/usr/bin/python3
version=$(<VERSION)
"$python" tests/windows/check_image.py --machine x86 --file-version "$version" \
  build/windows-x86/launcher/launcher.exe
"$python" tests/windows/check_image.py --machine x64 --file-version "$version" \
  build/windows-x64/launcher/launcher.exe

# The 32-bit wine loader is itself a 32-bit program: when it cannot start,
# neither can the 32-bit launcher.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  ctest --preset windows-x86
else
  echo "test-windows: this machine cannot run 32-bit programs (/usr/lib/wine/wine, from" \
       "wine32:i386, does not start; the kernel may lack 32-bit support):" \
       "the 32-bit executable's tests are skipped, its image was checked" >&2
fi
ctest --preset windows-x64
echo "test-windows: passed in $((SECONDS - started)) s"
