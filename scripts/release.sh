#!/usr/bin/env bash
# Builds the release from this checkout and writes dist/:
#   launcher-<version>-linux-x86_64.tar.gz   static, stripped launcher, README.md,
#                                            LICENSE, contrib/launcher.service,
#                                            contrib/Dockerfile
#   launcher-<version>-windows-x86.zip       32-bit console launcher.exe,
#                                            README.md, LICENSE
#   launcher_<version>_amd64.deb             /usr/bin/launcher and its documentation
#   SHA256SUMS                               sha256sum's lines over the three
# <version> is project(VERSION) in CMakeLists.txt.
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

echo "release: packing $version"
# Linux archive: one top folder.
top=launcher-$version-linux-x86_64
mkdir -p "$stage/tar/$top"
install -m 0755 "$linux/launcher/launcher" "$stage/tar/$top/launcher"
install -m 0644 README.md LICENSE contrib/launcher.service contrib/Dockerfile "$stage/tar/$top/"
stamp "$stage/tar"
tar --sort=name --format=gnu --owner=0 --group=0 --numeric-owner \
  --mtime="@$SOURCE_DATE_EPOCH" -C "$stage/tar" -cf - "$top" | gzip -9 -n >"dist/$top.tar.gz"

# Windows archive, with one top folder as well.
top=launcher-$version-windows-x86
mkdir -p "$stage/zip/$top"
install -m 0755 "$windows/launcher/launcher.exe" "$stage/zip/$top/launcher.exe"
install -m 0644 README.md LICENSE "$stage/zip/$top/"
# Debian's Python, so that the zlib that compresses is always the same.
/usr/bin/python3 scripts/make-zip.py "dist/$top.zip" "$stage/zip/$top"

# Debian package: the files where `cmake --install` puts them under /usr.
deb=$stage/deb
cmake --install "$linux" --prefix "$PWD/$deb/usr" >>"$log"
doc=$deb/usr/share/doc/launcher
{
  echo "launcher: a console launcher for the game's dedicated server."
  echo "Copyright (c) $maker. Distributed under the MIT license:"
  echo
  cat LICENSE
} >"$doc/copyright"
chmod 0644 "$doc/copyright"
mkdir -p "$deb/DEBIAN"
(cd "$deb" && find usr -type f | sort | xargs md5sum) >"$deb/DEBIAN/md5sums"
installed_size=$(du -sk --apparent-size "$deb/usr" | cut -f1)
cat >"$deb/DEBIAN/control" <<CONTROL
Package: launcher
Version: $version
Architecture: amd64
Maintainer: $maker <$maintainer_email>
Installed-Size: $installed_size
Section: games
Priority: optional
Description: console launcher for the game's dedicated server
 Started in the server's folder, it sets the server's environment, reads
 the heap size from server.properties, turns its own +key value arguments
 into server arguments and starts the Java server through the shell. It
 relays the server's console output byte for byte, passes stop signals on
 once and ends with the server's exit status.
 .
 The program is linked statically and needs no other package; the server
 itself needs a Java runtime. An example systemd unit is in
 /usr/share/doc/launcher/examples.
CONTROL
chmod 0644 "$deb/DEBIAN/control" "$deb/DEBIAN/md5sums"
stamp "$deb"
dpkg-deb --root-owner-group -Zxz --build "$deb" "dist/launcher_${version}_amd64.deb" >>"$log"

(cd dist && sha256sum -- *.tar.gz *.zip *.deb >SHA256SUMS)
echo "release: dist/ written in $((SECONDS - started)) s"
(cd dist && ls -l --time-style=+ -- * | awk '{print "  " $5 "\t" $NF}')
