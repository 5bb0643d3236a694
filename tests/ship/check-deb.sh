#!/usr/bin/env bash
# Installs the Debian package the way a user does (apt install ./file.deb), runs hotbatch from the
# PATH, checks its manual page and service unit, then removes the package again. Needs root; CI
# runs it after `make package`. Usage: check-deb.sh [build folder]
set -euo pipefail
build=$(realpath "${1:-build}")

fail() {
  echo "Debian package check: FAILED: $*"
  exit 1
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
deb="$build/hotbatch_${version}_amd64.deb"
[ -f "$deb" ] || fail "$deb is missing (run make package)"
if dpkg-query -W -f='${Status}' hotbatch 2>/dev/null | grep -q "install ok installed"; then
  echo "Note: hotbatch is installed already; it is replaced by $deb and removed at the end"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/hotbatch-deb.XXXXXX")
cleanup() {
  DEBIAN_FRONTEND=noninteractive apt-get remove -y -q hotbatch >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== apt-get install $deb"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb"
[ "$(command -v hotbatch)" = /usr/bin/hotbatch ] || fail "hotbatch is not /usr/bin/hotbatch on the PATH"

echo "== the usage screen names version $version"
set +e
usage=$(cd "$work" && hotbatch)
status=$?
set -e
[ "$status" -eq 1 ] || fail "the usage screen ended with status $status, not 1"
grep -qx "Version $version" <<<"$usage" || fail "no line 'Version $version' on the usage screen"

echo "== one pass over one file"
mkdir "$work/in"
printf 'pear\napple\n' >"$work/in/fruit list.txt"
output=$(cd "$work" && hotbatch -d in -g 0 -E -o run.log '*.txt' 'sort "@1@" > "@2@.sorted"')
echo "$output"
grep -q " Datei was processed: 'fruit list.txt'\$" <<<"$output" || fail "no success line"
[ "$(cat "$work/in/fruit list.sorted")" = "$(printf 'apple\npear')" ] || fail "wrong command output"
[ ! -e "$work/in/fruit list.txt" ] || fail "-E did not delete the file"
grep -q "Datei was processed: 'fruit list.txt'" "$work/in/run.log" || fail "no run log entry"

echo "== the manual page"
[ "$(man -w hotbatch)" = /usr/share/man/man1/hotbatch.1.gz ] || fail "man does not find hotbatch(1)"
warnings=$(MANWIDTH=80 man --warnings hotbatch 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man hotbatch warns: $warnings"
man hotbatch 2>/dev/null | tail -n 1 | grep -q "hotbatch $version" ||
  fail "the manual page does not carry version $version"

echo "== the service unit"
if command -v systemd-analyze >/dev/null 2>&1; then
  # verify exits 0 on unknown keys too: any message is a failure here.
  messages=$(cd "$work" && systemd-analyze verify hotbatch@ci.service 2>&1)
  [ -z "$messages" ] || fail "systemd-analyze verify hotbatch@ci.service: $messages"
else
  echo "systemd-analyze is not installed: unit check skipped"
fi

echo "== apt-get remove hotbatch"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q hotbatch
[ ! -e /usr/bin/hotbatch ] || fail "/usr/bin/hotbatch is still there after removal"
echo "Debian package check: passed"
