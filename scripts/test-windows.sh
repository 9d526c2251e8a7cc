#!/usr/bin/env bash
# The Windows executables, cross-compiled with MinGW-w64 and warnings as
# errors: the 32-bit release build, whose image (header settings, imports,
# resources) is checked and whose unit and end-to-end tests run under 32-bit
# wine (Debian's wine32), and the 64-bit build of the same sources, tested
# under wine64.
#
# The 32-bit wine is a 32-bit Linux program. Where the kernel runs 32-bit
# programs it runs natively; where it refuses them, the x86 tests run with
# qemu-i386 (qemu-user-static) registered for 32-bit ELF programs in a
# binfmt_misc of their own, inside a private user and mount namespace (Linux
# 6.7 and later give each user namespace its own binfmt_misc): the machine's
# own registrations stay as they are. LAUNCHER_X86_ROUTE=native or =qemu
# chooses the route instead of the kernel (qemu works on either kernel).
# Where neither route is open, the stage says so and runs the rest.
set -euo pipefail
cd "$(dirname "$0")/.."

# qemu-i386's registration: the ELF header of a 32-bit x86 executable or
# shared object (qemu's own magic and mask). F opens the emulator now, so
# that it is found from any mount namespace; O and C give it the program's
# descriptor and its set-user-ID credentials, as the kernel would.
readonly i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
readonly i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
readonly qemu=/usr/bin/qemu-i386-static
readonly wine32=/usr/lib/wine/wine

# Inside the namespace (the script runs itself there): binfmt_misc on the
# scratch folder $2, qemu-i386 registered in it, then the x86 tests.
if [[ ${1-} == --x86-under-qemu ]]; then
  # Before Linux 6.7 a user namespace has no binfmt_misc of its own.
  mount -t binfmt_misc binfmt_misc "$2" || exit 77
  printf '%s' ":qemu-i386:M::$i386_magic:$i386_mask:$qemu:FOC" >"$2/register"
  "$wine32" --version >/dev/null
  # The end-to-end tests skip, by name and with the reason, what the
  # emulator cannot carry.
  LAUNCHER_X86_EMULATOR=qemu-i386 ctest --preset windows-x86
  exit
fi

# The 32-bit wine (wine32:i386) runs the 32-bit executable; it needs the
# i386 architecture in dpkg. Its preloader reserves wine's address ranges
# before the program loads: without it, under qemu, wine probes for them
# with tens of thousands of mappings per process, and a run takes minutes.
# googletest's sources are built for Windows.
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
scripts/install-packages.sh cmake make g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
  googletest wine64 wine32:i386 wine32-preloader:i386 qemu-user-static locales python3 \
  python3-pefile
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

route=${LAUNCHER_X86_ROUTE:-}
if [[ -z $route ]]; then
  if "$wine32" --version >/dev/null 2>&1; then route=native; else route=qemu; fi
fi
x86_started=$SECONDS
case $route in
  native)
    ctest --preset windows-x86
    ;;
  qemu)
    scratch=$(mktemp -d)
    trap 'rmdir "$scratch"' EXIT
    if unshare --user --map-root-user --mount true 2>/dev/null; then
      echo "test-windows: the x86 tests run under qemu-i386, registered in a private user" \
           "and mount namespace"
      status=0
      unshare --user --map-root-user --mount "$0" --x86-under-qemu "$scratch" || status=$?
      if ((status == 77)); then
        echo "test-windows: this kernel runs no 32-bit programs and gives a user namespace no" \
             "binfmt_misc of its own (Linux 6.7 and later do): the 32-bit executable's tests" \
             "are skipped, its image was checked" >&2
      elif ((status != 0)); then
        exit "$status"
      fi
    else
      echo "test-windows: this machine runs no 32-bit programs and allows no user namespace" \
           "(unshare --user --map-root-user --mount fails): the 32-bit executable's tests" \
           "are skipped, its image was checked" >&2
    fi
    ;;
  *)
    echo "test-windows: LAUNCHER_X86_ROUTE is native, qemu or unset, not '$route'" >&2
    exit 2
    ;;
esac
echo "test-windows: the x86 tests ($route) took $((SECONDS - x86_started)) s"
ctest --preset windows-x64
echo "test-windows: passed in $((SECONDS - started)) s"
