#!/usr/bin/env bash
# Readiness with several commands at once or waking on change: how soon files that arrive together,
# a file written over a second, and 5,000 files copied into 50 folders are done. Prints one table,
# with a second hotbatch (such as an older build) side by side when given. It judges nothing: the
# target column only repeats what each case aims at.
#
#   bench/ready_bench.sh [path/to/hotbatch] [path/to/baseline-hotbatch]
#
# Settings (environment): READY_BENCH_DIR, where the test folders go (default: /dev/shm when
# writable, else /tmp); READY_BENCH_CAP, seconds after which a case counts as not done (default 60).
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
hotbatch=$(readlink -f "${1:-$root/build/hotbatch}")
baseline=${2:+$(readlink -f "$2")}
cap=${READY_BENCH_CAP:-60}
parent=${READY_BENCH_DIR:-}
if [ -z "$parent" ]; then
  parent=/tmp
  [ -d /dev/shm ] && [ -w /dev/shm ] && parent=/dev/shm
fi
work=$(mktemp -d "$parent/hotbatch-ready-bench.XXXXXX") || exit 2
pid=""
stop() {
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    pid=""
  fi
}
trap 'stop; rm -rf "$work"' EXIT

now_ms() { echo $(($(date +%s%N) / 1000000)); }
seconds() { awk -v ms="$1" 'BEGIN { printf "%.1f s", ms / 1000 }'; }

# Starts BINARY with the arguments in the inbox's parent, output in $work/out; waits for its start.
start() {
  local binary=$1
  shift
  : >"$work/out"
  "$binary" "$@" >"$work/out" 2>&1 &
  pid=$!
  for ((i = 0; i < 500; ++i)); do
    grep -q 'Start Run' "$work/out" && return
    sleep 0.01
  done
}

# Waits until COMMAND succeeds or the cap passes; prints the milliseconds since START_MS, or "".
until_done() {
  local start_ms=$1
  shift
  while ! "$@"; do
    (($(now_ms) - start_ms > cap * 1000)) && return
    sleep 0.02
  done
  echo $(($(now_ms) - start_ms))
}

count_at_least() { [ "$(grep -c "$1" "$work/out")" -ge "$2" ]; }

# 100 files moved in at once, -l -s 1 -j 8 -g 1, command true: milliseconds until all are done.
burst() {
  rm -rf "$work/in" "$work/stage" && mkdir -p "$work/in" "$work/stage"
  (cd "$work/stage" && seq -f "f%03g.x" 1 100 | xargs touch)
  start "$1" -l -s 1 -j 8 -g 1 -d "$work/in" '*.x' true
  local t0
  t0=$(now_ms)
  mv "$work/stage"/* "$work/in/"
  until_done "$t0" count_at_least 'Datei was processed' 100
  stop
}

# A 3 MB file written over about a second into -l -w -s 30 -g 1 -j N: milliseconds from the end of
# the writing to the start of its command.
slow_copy() {
  rm -rf "$work/in" && mkdir -p "$work/in"
  rm -f "$work/started"
  start "$1" -l -w -s 30 -g 1 -j "$2" -d "$work/in" '*.x' "date +%s%N >$work/started"
  sleep 0.5
  for ((i = 0; i < 48; ++i)); do
    head -c 65536 /dev/zero
    sleep 0.02
  done >"$work/in/big.x"
  local t0
  t0=$(now_ms)
  until_done "$t0" test -s "$work/started" >/dev/null
  if [ -s "$work/started" ]; then
    echo $(($(cat "$work/started") / 1000000 - t0))
  fi
  stop
}

# 5,000 files of 4 kB copied into 50 folders at once, -r -j 8 -w -g 1 -E: milliseconds until all
# are done, and whether each ran exactly once at its full size.
many() {
  rm -rf "$work/in" "$work/stage" "$work/ran" && mkdir -p "$work/in" "$work/stage"
  for ((d = 0; d < 50; ++d)); do mkdir -p "$work/in/d$d"; done
  head -c 4096 /dev/urandom >"$work/stage/proto"
  (cd "$work/stage" && seq -f "f%03g.x" 1 100 | xargs -n 1 cp proto && rm proto)
  start "$1" -l -s 30 -r -j 8 -w -g 1 -E -d "$work/in" '*.x' "wc -c \"@1@\" >>$work/ran"
  local t0
  t0=$(now_ms)
  for ((d = 0; d < 50; ++d)); do cp "$work/stage"/* "$work/in/d$d/" & done
  wait_copies() { [ -f "$work/ran" ] && [ "$(wc -l <"$work/ran")" -ge 5000 ]; }
  local took
  took=$(until_done "$t0" wait_copies)
  stop
  # Each line is "size path": every path once, every size whole.
  if [ -n "$took" ] && [ "$(awk '$1 == 4096 { print $2 }' "$work/ran" | sort -u | wc -l)" -eq 5000 ] &&
    [ "$(wc -l <"$work/ran")" -eq 5000 ]; then
    echo "$took"
  elif [ -n "$took" ]; then
    echo "$took (not each once and whole)"
  fi
}

show() { if [ -z "$1" ]; then echo "over $cap s"; elif [[ $1 == *" "* ]]; then echo "$(seconds "${1%% *}") ${1#* }"; else seconds "$1"; fi; }

rows=()
measure() {
  local label=$1 target=$2
  shift 2
  echo "$label" >&2
  local ours theirs=""
  ours=$(show "$("$@" "$hotbatch")")
  [ -n "$baseline" ] && theirs=$(show "$("$@" "$baseline")")
  rows+=("| $label | $ours | ${theirs:-not run} | $target |")
}
with_jobs() { slow_copy "$2" "$1"; }

echo "Machine: $(nproc) cores; Linux $(uname -r); folders in $parent"
echo "hotbatch: $hotbatch; baseline: ${baseline:-none}"
echo
measure "100 files moved in at once, \`-l -s 1 -j 8 -g 1\`" "within 3 s" burst
measure "3 MB written over 1 s, \`-l -w -s 30 -g 1 -j 4\`, from its end" "within 2.5 s" with_jobs 4
measure "3 MB written over 1 s, \`-l -w -s 30 -g 1 -j 1\`, from its end" "within 2.5 s" with_jobs 1
measure "5,000 files copied into 50 folders, \`-r -j 8 -w -g 1 -E\`" "within 20 s, each once and whole" many
echo "| Case | hotbatch | baseline | target |"
echo "|---|---|---|---|"
printf '%s\n' "${rows[@]}"
