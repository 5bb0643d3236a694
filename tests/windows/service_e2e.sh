#!/usr/bin/env bash
# hotbatch.exe as a Windows service under Wine: installed, started, stopped while a job runs (the
# job runs out and counts, its output in the service's log), removed; then a start-up error: stopped with code 1, said in the log.
# Needs the session's server running (wine-session.sh start). Every stream of sc and of the
# service goes to a file or /dev/null: one kept open by Wine's services would hang a reader.
set -uo pipefail
wine=${HOTBATCH_WINE:?} exe=${HOTBATCH_WIN_EXE:?} writer=${HOTBATCH_WIN_WRITER:?}
tmp=$(mktemp -d) name=e2e$$ service=hotbatch-e2e$$ failed=0
fail() { echo "FAILED: $*"; failed=1; }
w() { timeout 120 "$wine" "$@" </dev/null >"$tmp/out" 2>&1; }
win() { local path=${1//\//\\}; echo "Z:$path"; }
# Waits up to 60 s for the service's state (as sc query says it), or a line in its log.
state() { for _ in $(seq 240); do w sc query "$service" && grep -q "$1" "$tmp/out" && return; sleep 0.25; done; false; }
logged() { for _ in $(seq 240); do grep -qF "$1" "$(log)" 2>/dev/null && return; sleep 0.25; done; false; }
log() { find "$WINEPREFIX/drive_c" -path "*/hotbatch/$name.log" | head -n 1; }
trap 'w "$exe" -x "$name"; rm -rf "$tmp"' EXIT

mkdir "$tmp/in"
w "$exe" -i "$name" -l -g 0 -d "$(win "$tmp/in")" '*.job' "echo ran @2@& \"$(win "$writer")\" tick @1@.tick 5000" ||
  fail "install: $(cat "$tmp/out")"
grep -q "Spoolex: Start: sc start $service" "$tmp/out" || fail "install says: $(cat "$tmp/out")"
w sc start "$service"
state RUNNING || fail "not running: $(cat "$tmp/out")"
echo job >"$tmp/in/a.job"
logged "File found and under processing" || fail "no job started"
w sc stop "$service"
grep -q STOP_PENDING "$tmp/out" || fail "stop: $(cat "$tmp/out")"
state STOPPED || fail "not stopped: $(cat "$tmp/out")"
for line in "ran a" "Datei was processed: 'a.job'" "Spoolex: Stopped"; do
  grep -qF "$line" "$(log)" || fail "'$line' not in the log: $(cat "$(log)")"
done
w "$exe" -x "$name" || fail "remove: $(cat "$tmp/out")"
w sc query "$service" && fail "still there after -x"

# A start-up error: the source folder is gone when the service starts.
w "$exe" -i "$name" -d "$(win "$tmp/in")" '*.job' 'exit /b 0' || fail "install: $(cat "$tmp/out")"
rm -r "$tmp/in"
w sc start "$service"
state STOPPED && grep -Eq "SERVICE_EXIT_CODE +: 1 " "$tmp/out" || fail "start-up error: $(cat "$tmp/out")"
logged "Spoolex: Cannot change to '$(win "$tmp/in")'!" || fail "no message: $(cat "$(log)")"
((failed)) && exit 1
echo "Service test: passed"
