#!/usr/bin/env bash
# Waking where the change happened (-w), side by side: this build and, when given, an older one.
#   1. Files moved one at a time, 0.3 s apart, into a tree of 1,000 folders x 100 entries
#      (-l -r -w -s 600 -g 0): median and slowest from the move to the command's start, and the
#      service's CPU per arrival.
#   2. 5,000 files copied into 50 folders (-r -j 8 -w -g 1 -s 60 -E, cat "@1@" >> runs): seconds
#      until every one ran, once and whole.
#   3. The source folder removed and made again (-w -s 60): seconds until a file dropped into it ran.
# Usage: bench/arrival_bench.sh HOTBATCH [OLDER_HOTBATCH] [SAMPLES]
# Prints figures only; it never fails on them.
set -euo pipefail

builds=("$(realpath "${1:?usage: arrival_bench.sh HOTBATCH [OLDER_HOTBATCH] [SAMPLES]}")")
[[ -n ${2:-} ]] && builds+=("$(realpath "$2")")
samples=${3:-30}
work=$(mktemp -d "${TMPDIR:-/tmp}/hotbatch-arrival-bench.XXXXXX")
pid=""
stop() {
  if [[ -n $pid ]]; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=""
  fi
}
trap 'stop; rm -rf "$work"' EXIT

now_ns() { date +%s%N; }
cpu_ns() { awk '{ print $1 }' "/proc/$1/schedstat"; }
stats() { sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print "n/a n/a"; else printf "%.1f %.1f\n", v[int((NR + 1) / 2)], v[NR] }'; }
wait_lines() { # file, count, seconds: waits until the file has that many lines
  local i
  for ((i = 0; i < $3 * 20; ++i)); do
    [[ -f $1 && $(wc -l <"$1") -ge $2 ]] && return 0
    sleep 0.05
  done
  return 1
}

# The tree: 1,000 folders of 100 entries that do not match.
mkdir -p "$work/tree" "$work/staging"
for ((d = 0; d < 1000; ++d)); do
  mkdir "$work/tree/d$d"
  (cd "$work/tree/d$d" && touch $(seq -f 'e%g.dat' 1 100))
done

declare -A median slowest per_arrival many back
for build in "${builds[@]}"; do
  # 1. Arrivals into the big tree.
  rm -rf "$work/started" && mkdir "$work/started"
  "$build" -l -r -w -s 600 -g 0 -E -d "$work/tree" '*.job' "date +%s%N > $work/started/@5@" \
    >/dev/null 2>&1 &
  pid=$!
  sleep 4 # the first pass is over
  before=$(cpu_ns "$pid")
  times=()
  for ((i = 0; i < samples; ++i)); do
    echo data >"$work/staging/f$i.job"
    start=$(now_ns)
    mv "$work/staging/f$i.job" "$work/tree/d$((i * 37 % 1000))/f$i.job"
    sleep 0.3
    for ((w = 0; w < 400; ++w)); do
      [[ -s $work/started/f$i ]] && break
      sleep 0.01
    done
    [[ -s $work/started/f$i ]] && times+=("$((($(cat "$work/started/f$i") - start) / 1000000))")
  done
  after=$(cpu_ns "$pid")
  stop
  read -r median[$build] slowest[$build] < <(printf '%s\n' "${times[@]}" | stats)
  per_arrival[$build]=$(awk -v b="$before" -v a="$after" -v n="$samples" \
    'BEGIN { printf "%.1f", (a - b) / 1e6 / n }')

  # 2. 5,000 files copied into 50 folders.
  rm -rf "$work/inbox" "$work/runs" && mkdir -p "$work/inbox"
  for ((d = 0; d < 50; ++d)); do mkdir "$work/inbox/d$d"; done
  "$build" -l -r -j 8 -w -g 1 -s 60 -E -d "$work/inbox" '*.job' "cat \"@1@\" >> $work/runs" \
    >/dev/null 2>&1 &
  pid=$!
  sleep 1
  start=$(now_ns)
  for ((d = 0; d < 50; ++d)); do
    for ((f = 0; f < 100; ++f)); do echo "d$d f$f" >"$work/inbox/d$d/f$f.job"; done
  done
  if wait_lines "$work/runs" 5000 120; then
    many[$build]=$(awk -v s="$start" -v e="$(now_ns)" 'BEGIN { printf "%.1f", (e - s) / 1e9 }')
  else
    many[$build]="> 120"
  fi
  [[ $(sort -u "$work/runs" | wc -l) -eq $(wc -l <"$work/runs") ]] || many[$build]+=" (twice!)"
  stop

  # 3. The source folder made again.
  rm -rf "$work/inbox" "$work/runs" && mkdir -p "$work/inbox"
  "$build" -l -w -g 0 -s 60 -E -d "$work/inbox" '*.job' "echo ran >> $work/runs" >/dev/null 2>&1 &
  pid=$!
  sleep 1
  rmdir "$work/inbox" && mkdir "$work/inbox"
  sleep 0.2
  start=$(now_ns)
  echo 1 >"$work/inbox/a.job"
  if wait_lines "$work/runs" 1 70; then
    back[$build]=$(awk -v s="$start" -v e="$(now_ns)" 'BEGIN { printf "%.1f", (e - s) / 1e9 }')
  else
    back[$build]="> 70"
  fi
  stop
done

printf '\n%-58s' "Waking where the change happened (-w)"
for build in "${builds[@]}"; do printf ' %14s' "$("$build" 2>/dev/null | sed -n 's/^Version //p')"; done
printf '\n%-58s' "Arrivals 0.3 s apart, 100,000 entries: median ms"
for build in "${builds[@]}"; do printf ' %14s' "${median[$build]}"; done
printf '\n%-58s' "  slowest ms ($samples arrivals)"
for build in "${builds[@]}"; do printf ' %14s' "${slowest[$build]}"; done
printf '\n%-58s' "  CPU ms per arrival"
for build in "${builds[@]}"; do printf ' %14s' "${per_arrival[$build]}"; done
printf '\n%-58s' "5,000 files into 50 folders, -j 8 -g 1 -s 60: s"
for build in "${builds[@]}"; do printf ' %14s' "${many[$build]}"; done
printf '\n%-58s' "Source folder made again, file taken after: s (-s 60)"
for build in "${builds[@]}"; do printf ' %14s' "${back[$build]}"; done
printf '\n'
