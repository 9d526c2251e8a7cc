#!/usr/bin/env bash
# The release: scripts/release.sh run on copies of this checkout in two
# scratch folders at different paths, one after the other; both dist/
# folders must be the same bytes. Then every file of the first is opened and
# checked (tests/release/check_release.py).
set -euo pipefail
cd "$(dirname "$0")/.."
# Both compilers, the packaging and checking tools, and Debian's Python
# with pefile for the image checks.
scripts/install-packages.sh cmake make g++ g++-mingw-w64-i686-posix git python3 python3-pefile \
  readelf=binutils xz-utils help2man lintian
started=$SECONDS

scratch=$(mktemp -d "${TMPDIR:-/tmp}/launcher-release-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
# The time of the last commit, as release.sh takes it; the copies have no
# history of their own.
epoch=$(git log -1 --format=%ct)

# The checkout's files as they are now, committed or not (not build/ and
# dist/, which .gitignore leaves out).
copy_checkout() {
  mkdir -p "$1"
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do [[ -e $file ]] && printf '%s\0' "$file"; done |
    tar --null -T - -cf - | tar -xf - -C "$1"
}

first=$scratch/one/launcher
second=$scratch/two/a/longer/path/launcher-copy
for copy in "$first" "$second"; do
  copy_checkout "$copy"
  echo "test-release: release in $copy"
  SOURCE_DATE_EPOCH=$epoch "$copy/scripts/release.sh" >"$scratch/release.log" 2>&1 || {
    cat "$scratch/release.log" >&2
    exit 1
  }
  sed -n 's/^  /  /p' "$scratch/release.log"
done

failed=0
if cmp "$first/dist/SHA256SUMS" "$second/dist/SHA256SUMS"; then
  echo "test-release: both releases have the same SHA256SUMS"
else
  diff "$first/dist/SHA256SUMS" "$second/dist/SHA256SUMS" >&2 || true
  echo "test-release: the two releases differ" >&2
  failed=1
fi
(cd "$first/dist" && sha256sum --check --strict SHA256SUMS) || failed=1

version=$(<VERSION)
/usr/bin/python3 tests/release/check_release.py --dist "$first/dist" --source "$first" \
  --version "$version" --epoch "$epoch" || failed=1

# Every lintian tag fails, down to the pedantic ones, unless the package
# overrides it with its reason (usr/share/lintian/overrides/launcher).
echo "test-release: lintian -I -E --pedantic (O: an overridden tag, N: the reason)"
package=$first/dist/launcher_${version}_amd64.deb
# With --show-overrides lintian counts the overridden tags as found, so the
# verdict comes from a run without it.
lintian -I -E --pedantic --show-overrides "$package" 2>&1 | grep -v 'running with root privileges' |
  sed 's/^/  /' || true
if ! lintian -I -E --pedantic --fail-on error,warning,info,pedantic "$package" >/dev/null 2>&1; then
  echo "test-release: lintian reports tags that are not overridden" >&2
  failed=1
fi

((failed == 0)) || { echo "test-release: failed" >&2; exit 1; }
echo "test-release: passed in $((SECONDS - started)) s"
