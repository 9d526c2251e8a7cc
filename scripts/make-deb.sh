#!/usr/bin/env bash
# Makes the Debian package of a built Linux launcher (called by release.sh,
# and by the integration stage for the native build):
#
#   make-deb.sh LAUNCHER VERSION MAINTAINER BUILT-USING NOTICES STAGE OUTPUT.deb
#
#   /usr/bin/launcher                        the launcher
#   /usr/share/man/man1/launcher.1.gz        its manual page, made by help2man
#                                            from --help and --version
#   /lib/systemd/system/launcher@.service    one game server per folder
#                                            /var/lib/launcher/<instance>
#   /usr/lib/sysusers.d/launcher.conf        its system user, made in postinst
#   /usr/share/doc/launcher/                 README, changelog, the DEP-5
#                                            copyright, the third-party notices
#                                            and the single unit as an example
#   /usr/share/lintian/overrides/launcher    what lintian is told, and why
#
# Every file's time is SOURCE_DATE_EPOCH (dpkg-deb also clamps to it).
# STAGE is emptied and filled. Needs help2man and dpkg-deb.
set -euo pipefail
(($# == 7)) || { sed -n '2,/^set/p' "$0" | sed '$d' >&2; exit 2; }
launcher=$1 version=$2 maintainer=$3 built_using=$4 notices=$5 deb=$6 output=$7
cd "$(dirname "$0")/.."
: "${SOURCE_DATE_EPOCH:?}"
export SOURCE_DATE_EPOCH LC_ALL=C TZ=UTC
umask 022

rm -rf "$deb"
doc=$deb/usr/share/doc/launcher
install -D -m 0755 "$launcher" "$deb/usr/bin/launcher"
install -D -m 0644 contrib/debian/launcher@.service "$deb/lib/systemd/system/launcher@.service"
install -D -m 0644 contrib/debian/launcher.sysusers "$deb/usr/lib/sysusers.d/launcher.conf"
install -D -m 0644 contrib/launcher.service "$doc/examples/launcher.service"

# Documentation over 4 KiB is compressed, as Debian's policy asks.
install -m 0644 README.md "$doc/README.md"
install -m 0644 "$notices" "$doc/THIRD-PARTY-NOTICES"
gzip -9 -n "$doc/README.md" "$doc/THIRD-PARTY-NOTICES"

# A native package's changelog, one entry for this version.
{
  echo "launcher ($version) unstable; urgency=medium"
  echo
  echo "  * Release $version."
  echo
  echo " -- $maintainer  $(date -R -u -d "@$SOURCE_DATE_EPOCH")"
} | gzip -9 -n >"$doc/changelog.gz"

mkdir -p "$deb/usr/share/man/man1"
help2man --no-info --section=1 --name="console launcher for the game's dedicated server" \
  --output="$deb/usr/share/man/man1/launcher.1" "$deb/usr/bin/launcher"
gzip -9 -n "$deb/usr/share/man/man1/launcher.1"

# Machine-readable copyright (DEP-5): the launcher's MIT license, and what
# its static executable carries of the C library and the GCC runtime.
holder=$(sed -n 's/^Copyright (c) \([0-9]* .*\)$/\1/p' LICENSE)
{
  cat <<COPYRIGHT
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: launcher
Comment: /usr/bin/launcher is linked statically: it carries parts of the GNU
 C Library and of the GCC runtime libraries of the build machine, named in
 the Built-Using field. Their licenses and Debian's copyright notices of
 them are in /usr/share/doc/launcher/THIRD-PARTY-NOTICES.gz.

Files: *
Copyright: $holder
License: Expat

Files: usr/bin/launcher
Copyright: $holder
 Free Software Foundation, Inc. (GNU C Library, GCC runtime libraries)
License: Expat and LGPL-2.1+ and GPL-3+ with GCC-exception-3.1 exception

License: Expat
COPYRIGHT
  sed -n '3,$p' LICENSE | sed -e 's/^$/./' -e 's/^/ /'
  cat <<'COPYRIGHT'

License: LGPL-2.1+
 On Debian systems, the full text of the GNU Lesser General Public License
 version 2.1 is in /usr/share/common-licenses/LGPL-2.1.

License: GPL-3+
 On Debian systems, the full text of the GNU General Public License
 version 3 is in /usr/share/common-licenses/GPL-3.
COPYRIGHT
  echo
  echo "License: GCC-exception-3.1"
  # The exception's text, from the GCC runtime's own copyright file: from its
  # title to the end of its last section.
  sed -n '/^GCC RUNTIME LIBRARY EXCEPTION$/,/^requirements of the license of GCC\.$/p' \
    /usr/share/doc/gcc-12-base/copyright | sed -e 's/^[[:space:]]*$/./' -e 's/^/ /'
} >"$doc/copyright"
chmod 0644 "$doc/copyright"

mkdir -p "$deb/usr/share/lintian/overrides"
cat >"$deb/usr/share/lintian/overrides/launcher" <<'OVERRIDES'
# Linked statically on purpose (-static-pie): it starts without the dynamic
# loader, which halves what it adds to a server's start, and runs on any
# distribution; the runtimes it carries are named in Built-Using. Being
# position-independent, it has the ELF type of a shared object and no
# libraries it needs, which lintian takes for a library without
# prerequisites.
launcher: shared-library-lacks-prerequisites [usr/bin/launcher]
# The compiler's version notes, from the objects of the static C library and
# C++ runtime as well as the launcher's own; removing them would need a
# rewrite of the linked executable after the fact.
launcher: binary-has-unneeded-section .comment [usr/bin/launcher]
OVERRIDES

# The maintainer scripts, written here: debhelper's dh_installsystemd leaves
# template units alone (an instance has no name until the operator gives it
# one), so these stop the instances of launcher@.service on removal
# (deb-systemd-invoke) and remove their enablement links on purge.
mkdir -p "$deb/DEBIAN"
cat >"$deb/DEBIAN/postinst" <<'POSTINST'
#!/bin/sh
# Makes the system user of launcher@.service (usr/lib/sysusers.d); it is
# kept on removal and purge, with the servers' folders it owns. After an
# upgrade, names the instances that still run the launcher it replaced:
# restarting them is the operator's call, as it ends the players' sessions.
set -e
if [ "$1" = configure ] && command -v systemd-sysusers >/dev/null 2>&1; then
  systemd-sysusers launcher.conf
fi
if [ -d /run/systemd/system ]; then
  systemctl --system daemon-reload >/dev/null || true
fi
if [ "$1" = configure ] && [ -n "$2" ]; then
  old=
  for process in /proc/[0-9]*; do
    [ "$(readlink "$process/exe" 2>/dev/null)" = "/usr/bin/launcher (deleted)" ] || continue
    unit=$(sed -n 's|^.*/\(launcher@[^/]*\.service\)$|\1|p' "$process/cgroup" 2>/dev/null |
      head -n 1)
    [ -n "$unit" ] || continue
    case " $old " in
      *" $unit "*) ;;
      *) old="${old:+$old }$unit" ;;
    esac
  done
  if [ -n "$old" ]; then
    echo "launcher: still running the launcher before $2: $old" >&2
    echo "launcher: systemctl restart each of them when its players can take it" >&2
  fi
fi
POSTINST
cat >"$deb/DEBIAN/prerm" <<'PRERM'
#!/bin/sh
# On removal, stops every instance of launcher@.service (each saves its
# world), so that none runs on without its unit.
set -e
if [ "$1" = remove ] && [ -d /run/systemd/system ]; then
  deb-systemd-invoke stop 'launcher@*.service' >/dev/null || true
fi
PRERM
cat >"$deb/DEBIAN/postrm" <<'POSTRM'
#!/bin/sh
# On purge, removes the links that enabled instances of launcher@.service
# (systemctl enable launcher@NAME) and now point nowhere, so that a later
# install does not enable those instances again. The servers' folders, the
# user and /etc/launcher stay.
set -e
if [ -d /run/systemd/system ]; then
  systemctl --system daemon-reload >/dev/null || true
fi
if [ "$1" = purge ]; then
  for link in /etc/systemd/system/*.wants/launcher@*.service \
    /etc/systemd/system/*.requires/launcher@*.service; do
    if [ -L "$link" ] && [ ! -e "$link" ]; then
      rm -f "$link"
    fi
  done
fi
POSTRM
chmod 0755 "$deb/DEBIAN/postinst" "$deb/DEBIAN/prerm" "$deb/DEBIAN/postrm"
(cd "$deb" && find lib usr -type f | sort | xargs md5sum) >"$deb/DEBIAN/md5sums"
installed_size=$(du -sk --apparent-size "$deb/usr" "$deb/lib" | awk '{ n += $1 } END { print n }')
cat >"$deb/DEBIAN/control" <<CONTROL
Package: launcher
Version: $version
Architecture: amd64
Maintainer: $maintainer
Installed-Size: $installed_size
Recommends: default-jre-headless | java-runtime-headless
${built_using:+Built-Using: $built_using
}Section: utils
Priority: optional
Description: console launcher for the game's dedicated server
 Started in the server's folder, it sets the server's environment, reads
 the heap size from server.properties, turns its own +key value arguments
 into server arguments and starts the Java server through the shell. It
 relays the server's console output byte for byte, passes stop signals on
 once and ends with the server's exit status.
 .
 The systemd unit launcher@NAME runs the server in /var/lib/launcher/NAME
 as the system user launcher, sandboxed, takes console commands from the
 FIFO /run/launcher/NAME/console, and restarts the server when it fails.
CONTROL
chmod 0644 "$deb/DEBIAN/control" "$deb/DEBIAN/md5sums"
find "$deb" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
dpkg-deb --root-owner-group -Zxz --build "$deb" "$output"
