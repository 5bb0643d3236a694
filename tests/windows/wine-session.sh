#!/usr/bin/env bash
# Runs Windows programs under Wine for the tests: one prefix, a persistent server, no debugger.
#   wine-session.sh start PREFIX            boots the prefix (once) and starts its server
#   wine-session.sh run PREFIX PROGRAM ...  start, then runs PROGRAM with its arguments
#   wine-session.sh stop PREFIX             stops the prefix's server and waits for it to end
# HOTBATCH_WINEPREFIX, when set, overrides PREFIX; HOTBATCH_WINE names the Wine loader.
set -euo pipefail

mode=${1:?mode}
prefix=${HOTBATCH_WINEPREFIX:-${2:?prefix}}
shift 2
wine=${HOTBATCH_WINE:-/usr/lib/wine/wine64}
wineserver=${HOTBATCH_WINESERVER:-$(dirname "$wine")/wineserver}

export WINEPREFIX=$prefix
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installers, no menu entries, and no debugger: with it a crash could pass.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
unset DISPLAY WAYLAND_DISPLAY

# Every Wine helper gets /dev/null for all three streams: a server that inherits a caller's pipe
# keeps it open, and whoever waits for the end of that pipe waits for the server.
start() {
  mkdir -p "$prefix"
  (
    # Tests may start in parallel; one of them boots the prefix, the others wait for it.
    flock 9
    # A new prefix is made to its end first, under a server that ends with it: a program started
    # while the prefix is still being written may miss what it holds (its environment's COMSPEC,
    # say, or its start altogether).
    if [[ ! -f $prefix/system.reg ]]; then
      "$wine" wineboot -i </dev/null >/dev/null 2>&1 9>&-
      "$wineserver" -w </dev/null >/dev/null 2>&1 9>&-
    fi
    # Exit status 2: a server for this prefix runs already, with its services.
    if "$wineserver" -p </dev/null >/dev/null 2>&1 9>&-; then
      # A new server: boot the prefix here, so that the services it starts are not tied to the
      # streams of the first test program.
      "$wine" wineboot </dev/null >/dev/null 2>&1 9>&-
    fi
  ) 9>"$prefix.lock"
}

case $mode in
  start) start ;;
  run)
    start
    exec "$wine" "$@"
    ;;
  stop)
    if [[ -d $prefix ]]; then
      "$wineserver" -k </dev/null >/dev/null 2>&1 || true
      "$wineserver" -w </dev/null >/dev/null 2>&1 || true
    fi
    ;;
  *)
    echo "usage: $0 start|run|stop PREFIX [PROGRAM ARGS...]" >&2
    exit 2
    ;;
esac
