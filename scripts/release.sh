#!/usr/bin/env bash
# Builds the release from this checkout and writes dist/:
#   launcher-<version>-linux-x86_64.tar.gz   static, stripped launcher, README.md,
#                                            LICENSE, THIRD-PARTY-NOTICES,
#                                            contrib/launcher.service,
#                                            contrib/Dockerfile
#   launcher-<version>-windows-x86.zip       32-bit console launcher.exe,
#                                            README.md, LICENSE, THIRD-PARTY-NOTICES
#   launcher_<version>_amd64.deb             scripts/make-deb.sh
#   SHA256SUMS                               sha256sum's lines over the three
# and build/release-figures.txt, the files' sizes and this run's time.
# <version> is the file VERSION.
#
# The same commit gives the same bytes wherever and whenever it is built:
# every time stamp is the last commit's (SOURCE_DATE_EPOCH), the builds keep
# no folder names and no link time (the release-* presets), and the archives
# list their entries sorted, owned by root, with fixed modes.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

# Who answers for the Debian package: the license holder (LICENSE), at this
# address.
maintainer_email=maintainers@quillmark-works.invalid

# The last commit's time, unless the caller fixes another.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH LC_ALL=C TZ=UTC
umask 022
if git rev-parse --is-inside-work-tree >/dev/null 2>&1 && [[ -n $(git status --porcelain) ]]; then
  echo "release: warning: uncommitted changes; dist/ is not what the last commit makes" >&2
fi

log=build/release.log
mkdir -p build
: >"$log"
for preset in release-linux release-windows-x86; do
  echo "release: building $preset"
  if ! cmake --workflow --preset "$preset" --fresh >>"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "release: building $preset failed (whole log: $log)" >&2
    exit 1
  fi
done
linux=build/release-linux
windows=build/release-windows-x86
version=$(<VERSION)
# The copyright holder, as LICENSE names it.
maker=$(sed -n 's/^Copyright (c) [0-9]* \(.*\)$/\1/p' LICENSE)
[[ -n $maker ]] || { echo "release: no copyright line in LICENSE" >&2; exit 1; }

stage=build/release-stage
rm -rf "$stage" dist
mkdir -p "$stage" dist

# Every file and folder of a tree gets the commit's time.
stamp() { find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +; }

# "name version" of the Debian source package the installed package was
# built from.
source_of() { dpkg-query -W -f='${source:Package} ${source:Version}\n' "$1"; }
read -r glibc_source glibc_version < <(source_of libc6-dev)
read -r gcc_source gcc_version < <(source_of libstdc++-12-dev)
read -r mingw_gcc_source mingw_gcc_version < <(source_of gcc-mingw-w64-i686-posix-runtime)
read -r mingw_source mingw_version < <(source_of mingw-w64-i686-dev)

# The licences of what the static executables carry of their build
# machine's runtimes, with Debian's copyright files of those runtimes.
notices=$stage/THIRD-PARTY-NOTICES
{
  cat <<NOTICES
Third-party software in the launcher's executables
==================================================

The launcher's own code is under the MIT license (LICENSE). Its executables
are linked statically and so carry parts of these runtimes, each under its
own license. The sources are Debian 12's source packages of the versions
named (apt-get source NAME=VERSION), and the projects' own releases.

launcher (Linux, x86-64):
  - the GNU C Library: Debian source package $glibc_source $glibc_version;
    GNU Lesser General Public License 2.1 or later (text below), with the
    notices of Debian's copyright file below.
  - the GCC runtime libraries libstdc++ and libgcc: Debian source package
    $gcc_source $gcc_version; GNU General Public License 3 or later with the
    GCC Runtime Library Exception 3.1 (both below).

launcher.exe (Windows, x86):
  - the GCC runtime libraries libstdc++ and libgcc: Debian source package
    $mingw_gcc_source $mingw_gcc_version (built from the GCC sources); GNU
    General Public License 3 or later with the GCC Runtime Library Exception
    3.1 (below).
  - the MinGW-w64 runtime and winpthreads: Debian source package
    $mingw_source $mingw_version; the licenses of Debian's copyright file
    below (the MinGW-w64 runtime's public domain and ZPL 2.1 parts, and
    winpthreads' MIT-style license among them).

NOTICES
  for file in /usr/share/doc/libc6/copyright /usr/share/doc/gcc-12-base/copyright \
    /usr/share/doc/mingw-w64-common/copyright; do
    printf '\n\n===== %s\n\n' "Debian's $file"
    cat "$file"
  done
  for license in LGPL-2.1 GPL-3; do
    printf '\n\n===== %s\n\n' "/usr/share/common-licenses/$license"
    cat "/usr/share/common-licenses/$license"
  done
} >"$notices"

echo "release: packing $version"
# Linux archive: one top folder.
top=launcher-$version-linux-x86_64
mkdir -p "$stage/tar/$top"
install -m 0755 "$linux/launcher/launcher" "$stage/tar/$top/launcher"
install -m 0644 README.md LICENSE "$notices" contrib/launcher.service contrib/Dockerfile \
  "$stage/tar/$top/"
stamp "$stage/tar"
tar --sort=name --format=gnu --owner=0 --group=0 --numeric-owner \
  --mtime="@$SOURCE_DATE_EPOCH" -C "$stage/tar" -cf - "$top" | gzip -9 -n >"dist/$top.tar.gz"

# Windows archive, with one top folder as well.
top=launcher-$version-windows-x86
mkdir -p "$stage/zip/$top"
install -m 0755 "$windows/launcher/launcher.exe" "$stage/zip/$top/launcher.exe"
install -m 0644 README.md LICENSE "$notices" "$stage/zip/$top/"
# Debian's Python, so that the zlib that compresses is always the same.
/usr/bin/python3 scripts/make-zip.py "dist/$top.zip" "$stage/zip/$top"

# Debian package.
maker_address="$maker <$maintainer_email>"
built_using="$glibc_source (= $glibc_version), $gcc_source (= $gcc_version)"
scripts/make-deb.sh "$linux/launcher/launcher" "$version" "$maker_address" "$built_using" \
  "$notices" "$stage/deb" "dist/launcher_${version}_amd64.deb" >>"$log"

(cd dist && sha256sum -- *.tar.gz *.zip *.deb >SHA256SUMS)
# The figures the README points at, from this run.
{
  echo "release $version, written in $((SECONDS - started)) s on $(nproc) cores"
  (cd dist && stat -c '  %s bytes  %n' -- *)
  stat -c '  %s bytes  launcher (static, stripped)' "$linux/launcher/launcher"
  stat -c '  %s bytes  launcher.exe (stripped)' "$windows/launcher/launcher.exe"
} >build/release-figures.txt
echo "release: dist/ written in $((SECONDS - started)) s (build/release-figures.txt)"
sed -n '2,$p' build/release-figures.txt
