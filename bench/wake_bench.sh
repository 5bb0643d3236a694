#!/usr/bin/env bash
# Waking on arrival (-w): how soon a file moved into the folder has its command started while
# hotbatch pauses for a minute, and what the watching costs while nothing happens.
# Usage: bench/wake_bench.sh HOTBATCH [SAMPLES]
# Prints figures only; it never fails on them.
set -euo pipefail

hotbatch=$(realpath "${1:?usage: wake_bench.sh HOTBATCH [SAMPLES]}")
samples=${2:-25}
work=$(mktemp -d "${TMPDIR:-/tmp}/hotbatch-wake-bench.XXXXXX")
pid=""
cleanup() {
  if [[ -n $pid ]]; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

now_ns() { date +%s%N; }

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print "n/a"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Moves SAMPLES files one by one into FOLDER (relative to the inbox) and prints, one a line, the
# milliseconds from each rename to its command's start.
latencies() {
  local folder=$1 i start started
  for ((i = 0; i < samples; ++i)); do
    echo data >"$work/staging/f$i.job"
    start=$(now_ns)
    mv "$work/staging/f$i.job" "$work/inbox/$folder/f$i.job"
    for ((w = 0; w < 2000; ++w)); do
      [[ -s $work/started/f$i ]] && break
      sleep 0.005
    done
    started=$(cat "$work/started/f$i" 2>/dev/null || echo "")
    [[ -n $started ]] && echo $(((started - start) / 1000)) | awk '{ printf "%.1f\n", $1 / 1000 }'
    rm -f "$work/started/f$i"
    sleep 0.05
  done
}

mkdir -p "$work/inbox" "$work/staging" "$work/started"
"$hotbatch" -l -s 60 -g 0 -w -r -E -d "$work/inbox" '*.job' \
  "date +%s%N > $work/started/@5@" >"$work/out.txt" 2>&1 &
pid=$!
sleep 1
top_ms=$(latencies . | median)
mkdir "$work/inbox/made-later"
sleep 0.3
sub_ms=$(latencies made-later | median)
kill -TERM "$pid"
wait "$pid" || true
pid=""

# Idle: a 10,000-entry tree (100 folders of 100 files) where nothing matches, pause 60 s.
rm -rf "$work/inbox" && mkdir -p "$work/inbox"
for ((d = 0; d < 100; ++d)); do
  mkdir "$work/inbox/d$d"
  (cd "$work/inbox/d$d" && touch $(seq -f 'e%g.dat' 1 99))
done
"$hotbatch" -l -s 60 -g 0 -w -r -d "$work/inbox" '*.job' true >/dev/null 2>&1 &
pid=$!
sleep 2  # the first pass is over
cpu_ns() { awk '{ print $1 }' "/proc/$pid/schedstat"; }
before=$(cpu_ns)
sleep 10
after=$(cpu_ns)
idle=$(awk -v b="$before" -v a="$after" 'BEGIN { printf "%.3f", (a - b) / 1e6 / 10 }')

printf '\n%-62s %12s %10s\n' "Wake on change (-l -s 60 -g 0 -w)" "measured" "target"
printf '%-62s %9s ms %10s\n' "Median rename to command start, source folder ($samples files)" "$top_ms" "< 50 ms"
printf '%-62s %9s ms %10s\n' "Median rename to command start, sub-folder made after start" "$sub_ms" "< 50 ms"
printf '%-62s %7s ms/s %10s\n' "Idle CPU, 10,000-entry tree, -s 60" "$idle" "< 2 ms/s"
