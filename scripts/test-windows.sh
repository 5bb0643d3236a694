#!/usr/bin/env bash
# The Windows leg of the tests: builds hotbatch.exe with MinGW and runs its tests under Wine.
# Usage: scripts/test-windows.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR
set -uo pipefail

linux_build=${1:-build}
win_build=${2:-build-win}
root=$(cd "$(dirname "$0")/.." && pwd)
wine=${HOTBATCH_WINE:-/usr/lib/wine/wine64}
compiler=x86_64-w64-mingw32-g++-posix

missing=()
command -v "$compiler" >/dev/null 2>&1 || missing+=("$compiler")
[[ -x $wine ]] || missing+=("$wine")
if ((${#missing[@]})); then
  echo "Windows tests: SKIPPED (missing: ${missing[*]}; install g++-mingw-w64-x86-64-posix wine64)"
  exit 0
fi

cd "$root"
make --no-print-directory windows BUILD_WIN="$win_build" || exit 1
driver=$linux_build/tests/windows/hotbatch_win_e2e
if [[ ! -x $driver ]]; then
  echo "Windows tests: $driver is missing (build the Linux tree first)" >&2
  exit 1
fi

export HOTBATCH_WINE=$wine
export HOTBATCH_WIN_EXE=$root/$win_build/hotbatch.exe
export HOTBATCH_WIN_WRITER=$root/$win_build/tests/windows/slow_writer.exe
export HOTBATCH_WINEPREFIX=$root/$win_build/wineprefix
session=$root/tests/windows/wine-session.sh

# The driver starts Wine itself and needs the same settings as the session.
export WINEPREFIX=$HOTBATCH_WINEPREFIX WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"

# Whatever happens below, the server started here goes again.
trap '"$session" stop "$HOTBATCH_WINEPREFIX"' EXIT
echo "Windows tests: preparing the Wine prefix $HOTBATCH_WINEPREFIX"
"$session" start "$HOTBATCH_WINEPREFIX" || exit 1

status=0
echo "Windows tests: unit tests under Wine"
# A case that fails is run once more: under Wine a test program has, rarely, failed to start or
# started without its environment; a fault of ours fails both runs.
ctest --test-dir "$win_build" --output-on-failure -j "$(nproc 2>/dev/null || echo 2)" \
  --repeat until-pass:2 || status=1
# CTest's fixture stopped the server at its end; the driver's run gets one of its own.
"$session" start "$HOTBATCH_WINEPREFIX" || exit 1
echo "Windows tests: end-to-end suite under Wine"
"$driver" || status=1
echo "Windows tests: hotbatch.exe as a service under Wine"
bash "$root/tests/windows/service_e2e.sh" || status=1

if ((status)); then
  echo "Windows tests: FAILED"
else
  echo "Windows tests: passed"
fi
exit $status
