#!/usr/bin/env bash
# Benchmarks of several jobs at once (-j): builds test folders in a temporary folder, times
# hotbatch side by side with a reference in the same run, and prints one table of figures. It
# judges nothing: the target column only repeats what each case aims at.
#
#   bench/jobs_bench.sh [path/to/hotbatch]          (default: build/hotbatch)
#
# Cases: dispatch (-j 16 -g 0 over 2,000 files running `true`, against xargs -P 16), CPU-bound
# (200 files of about 50 ms CPU, -j 2 against -j 1), waiting-bound (200 x `sleep 0.2`, -j 16
# against -j 1), the default settle time (100 files, -g 1, -j 16) and peak memory (-j 64 over
# 100,000 entries). A hotbatch without -j runs the -j 1 rows only and says so.
#
# Settings (environment):
#   JOBS_BENCH_ROUNDS  timed rounds per case, after one warm-up round for the short ones (default 3)
#   JOBS_BENCH_DIR     where the test folders go (default: /dev/shm when writable, else /tmp)
#   JOBS_BENCH_CASES   which cases to run (default: "dispatch cpu wait settle memory")
#   JOBS_BENCH_SLOW=1  also time -j 1 with the default settle time (over 100 s per round)
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
hotbatch=$(readlink -f "${1:-$root/build/hotbatch}")
rounds=${JOBS_BENCH_ROUNDS:-3}
cases=" ${JOBS_BENCH_CASES:-dispatch cpu wait settle memory} "
if [ ! -x "$hotbatch" ]; then
  echo "jobs_bench: no hotbatch at $hotbatch (build it first, or give its path)" >&2
  exit 2
fi
parent=${JOBS_BENCH_DIR:-}
if [ -z "$parent" ]; then
  parent=/tmp
  [ -d /dev/shm ] && [ -w /dev/shm ] && parent=/dev/shm
fi
work=$(mktemp -d "$parent/hotbatch-jobs-bench.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT

wanted() { [[ "$cases" == *" $1 "* ]]; }

# --- Measuring -----------------------------------------------------------------------------------

now_ns() { date +%s%N; }

# Runs a command with its output in $work/last.txt; prints the elapsed milliseconds.
elapsed_ms() {
  local start end
  start=$(now_ns)
  "$@" >"$work/last.txt" 2>&1
  end=$(now_ns)
  echo $(((end - start) / 1000000))
}

# Runs a command under /usr/bin/time; prints its peak resident size in kB (descendants included).
peak_kb() {
  /usr/bin/time -f '%M' -o "$work/rss.txt" "$@" >"$work/last.txt" 2>&1
  tail -n 1 "$work/rss.txt"
}

# Statistics of a list of numbers: "median min max".
stats() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; print m, v[1], v[NR] }'; }
# "median unit (min-max)", in seconds for figures of 10 s and more.
show_ms() {
  local m lo hi
  read -r m lo hi <<<"$(stats "$@")"
  if awk -v m="$m" 'BEGIN { exit !(m >= 10000) }'; then
    awk -v m="$m" -v lo="$lo" -v hi="$hi" 'BEGIN { printf "%.1f s (%.1f-%.1f)", m / 1000, lo / 1000, hi / 1000 }'
  else
    awk -v m="$m" -v lo="$lo" -v hi="$hi" 'BEGIN { printf "%.0f ms (%.0f-%.0f)", m, lo, hi }'
  fi
}
show_ratio() {
  local m lo hi
  read -r m lo hi <<<"$(stats "$@")"
  awk -v m="$m" -v lo="$lo" -v hi="$hi" 'BEGIN { printf "%.2f (%.2f-%.2f)", m, lo, hi }'
}

rows=()
row() { rows+=("| $1 | $2 | $3 | $4 | $5 |"); }

# Times two commands alternately (which one goes first changes every round) after a warm-up
# round when asked; fills the arrays ours_ms, theirs_ms and ratios (ours / theirs per round).
compare() {
  local warm=$1 round a b
  shift
  local -a ours=() theirs=()
  while [ "$1" != -- ]; do ours+=("$1"); shift; done
  shift
  theirs=("$@")
  ours_ms=() theirs_ms=() ratios=()
  if [ "$warm" = warm ]; then
    "${ours[@]}" >/dev/null 2>&1
    "${theirs[@]}" >/dev/null 2>&1
  fi
  for ((round = 0; round < rounds; round++)); do
    if ((round % 2 == 0)); then
      a=$(elapsed_ms "${ours[@]}")
      cp "$work/last.txt" "$work/ours.txt"
      b=$(elapsed_ms "${theirs[@]}")
    else
      b=$(elapsed_ms "${theirs[@]}")
      a=$(elapsed_ms "${ours[@]}")
      cp "$work/last.txt" "$work/ours.txt"
    fi
    ours_ms+=("$a")
    theirs_ms+=("$b")
    ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.4f", (b > 0) ? a / b : 0 }')")
  done
}

# Times one command `rounds` times; fills ours_ms.
repeat() {
  local round
  ours_ms=()
  for ((round = 0; round < rounds; round++)); do ours_ms+=("$(elapsed_ms "$@")"); done
  cp "$work/last.txt" "$work/ours.txt"
}

# A note for a row whose last hotbatch run did not take every file, which makes its figure
# meaningless; empty when all ran.
short_of() {
  local seen
  seen=$(grep -c 'File found and under processing' "$work/ours.txt")
  [ "$seen" -eq "$1" ] || echo " (only $seen of $1 jobs ran)"
}

# --- Test folders --------------------------------------------------------------------------------

# fill FOLDER COUNT EXTENSION: COUNT empty files named job-0000000.EXTENSION and on.
fill() {
  mkdir -p "$1"
  (cd "$1" && seq -f "job-%07g.$3" 0 $(($2 - 1)) | xargs touch)
}

# --- Does this hotbatch have -j? -----------------------------------------------------------------

mkdir -p "$work/empty"
probe=$("$hotbatch" -j 2 -g 0 -d "$work/empty" '*.none' '' 2>&1)
if grep -qx 'Spoolex: Jobs at once: 2' <<<"$probe"; then
  has_jobs=1
else
  has_jobs=0
fi
hb() { "$hotbatch" "$@"; }
# hotbatch with -j N; without -j support, -j 1 is its only mode (the option is then left out).
hb_jobs() {
  local n=$1
  shift
  if [ "$has_jobs" = 1 ]; then
    "$hotbatch" -j "$n" "$@"
  else
    "$hotbatch" "$@"
  fi
}
needs_jobs="needs -j (not in this build)"

echo "Machine: $(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores online; Linux $(uname -r); folders in $parent"
echo "hotbatch: $hotbatch; $rounds rounds per case; figures are median (min-max)"
if [ "$has_jobs" = 0 ]; then
  echo "This hotbatch has no -j option yet (asked for '-j 2', it answered: $(head -n 1 <<<"$probe"))."
  echo "Only the -j 1 rows and the references run; the -j rows say '$needs_jobs'."
fi
echo

# --- Dispatch ------------------------------------------------------------------------------------

if wanted dispatch; then
  echo "dispatch: 2,000 x true" >&2
  fill "$work/dispatch" 2000 x
  xargs_run() { find "$work/dispatch" -name '*.x' -print0 | xargs -0 -P 16 -n 1 sh -c true; }
  if [ "$has_jobs" = 1 ]; then
    compare warm hb -j 16 -g 0 -d "$work/dispatch" '*.x' true -- xargs_run
    row "Dispatch, 2,000 x \`true\`, \`-j 16 -g 0\`" "$(show_ms "${ours_ms[@]}")$(short_of 2000)" \
      "\`xargs -0 -P 16 -n 1 sh -c true\`: $(show_ms "${theirs_ms[@]}")" "$(show_ratio "${ratios[@]}")" "<= 1.10"
  else
    repeat xargs_run
    row "Dispatch, 2,000 x \`true\`, \`-j 16 -g 0\`" "$needs_jobs" \
      "\`xargs -0 -P 16 -n 1 sh -c true\`: $(show_ms "${ours_ms[@]}")" "" "<= 1.10"
  fi
  rm -rf "$work/dispatch"
fi

# --- CPU-bound -----------------------------------------------------------------------------------

if wanted cpu; then
  echo "cpu: calibrating a 50 ms busy loop" >&2
  # The loop count that burns about 50 ms of CPU in awk on this machine.
  burn() { awk "BEGIN { for (i = 0; i < $1; i++) s += i }"; }
  TIMEFORMAT=%3U+%3S
  spent=$({ time burn 2000000; } 2>&1 | tail -n 1)
  unset TIMEFORMAT
  spent_ms=$(awk -v t="$spent" 'BEGIN { split(t, p, "+"); print (p[1] + p[2]) * 1000 }')
  loops=$(awk -v ms="$spent_ms" 'BEGIN { n = (ms > 0) ? 2000000 * 50 / ms : 2000000; printf "%d", n }')
  burn_command="awk \"BEGIN { for (i = 0; i < $loops; i++) s += i }\""
  fill "$work/cpu" 200 x
  echo "cpu: 200 x 50 ms" >&2
  if [ "$has_jobs" = 1 ]; then
    compare warm hb -j 2 -g 0 -d "$work/cpu" '*.x' "$burn_command" -- hb -j 1 -g 0 -d "$work/cpu" '*.x' "$burn_command"
    row "CPU-bound, 200 x 50 ms CPU, \`-j 2\`" "$(show_ms "${ours_ms[@]}")$(short_of 200)" \
      "\`-j 1\`: $(show_ms "${theirs_ms[@]}")" "$(show_ratio "${ratios[@]}")" "<= 0.55 (2 cores)"
  else
    repeat hb -g 0 -d "$work/cpu" '*.x' "$burn_command"
    row "CPU-bound, 200 x 50 ms CPU, \`-j 2\`" "$needs_jobs" "\`-j 1\`: $(show_ms "${ours_ms[@]}")" "" "<= 0.55 (2 cores)"
  fi
  rm -rf "$work/cpu"
fi

# --- Waiting-bound -------------------------------------------------------------------------------

if wanted wait; then
  echo "wait: 200 x sleep 0.2" >&2
  fill "$work/wait" 200 x
  if [ "$has_jobs" = 1 ]; then
    compare cold hb -j 16 -g 0 -d "$work/wait" '*.x' 'sleep 0.2' -- hb -j 1 -g 0 -d "$work/wait" '*.x' 'sleep 0.2'
    speedups=()
    for ratio in "${ratios[@]}"; do speedups+=("$(awk -v r="$ratio" 'BEGIN { printf "%.4f", (r > 0) ? 1 / r : 0 }')"); done
    row "Waiting-bound, 200 x \`sleep 0.2\`, \`-j 16\`" "$(show_ms "${ours_ms[@]}")$(short_of 200)" \
      "\`-j 1\`: $(show_ms "${theirs_ms[@]}")" "speed-up $(show_ratio "${speedups[@]}")" ">= 12x"
  else
    repeat hb -g 0 -d "$work/wait" '*.x' 'sleep 0.2'
    row "Waiting-bound, 200 x \`sleep 0.2\`, \`-j 16\`" "$needs_jobs" "\`-j 1\`: $(show_ms "${ours_ms[@]}")" "" ">= 12x"
  fi
  rm -rf "$work/wait"
fi

# --- Default settle time -------------------------------------------------------------------------

if wanted settle; then
  echo "settle: 100 files, -g 1" >&2
  fill "$work/settle" 100 x
  reference="\`-j 1\`: over 100 s (not run; JOBS_BENCH_SLOW=1 runs it)"
  if [ "${JOBS_BENCH_SLOW:-0}" = 1 ]; then
    saved=$rounds
    rounds=1
    repeat hb -g 1 -d "$work/settle" '*.x' true
    rounds=$saved
    reference="\`-j 1\`: $(show_ms "${ours_ms[@]}") (1 round)"
  fi
  if [ "$has_jobs" = 1 ]; then
    repeat hb -j 16 -g 1 -d "$work/settle" '*.x' true
    row "Default settle time, 100 x \`true\`, \`-g 1 -j 16\`" "$(show_ms "${ours_ms[@]}")$(short_of 100)" "$reference" "" "< 8 s"
  else
    row "Default settle time, 100 x \`true\`, \`-g 1 -j 16\`" "$needs_jobs" "$reference" "" "< 8 s"
  fi
  rm -rf "$work/settle"
fi

# --- Memory --------------------------------------------------------------------------------------

if wanted memory; then
  if [ -x /usr/bin/time ]; then
    echo "memory: 100,000 entries" >&2
    fill "$work/memory" 99000 dat
    fill "$work/memory/eps" 1000 EPS
    mv "$work/memory/eps"/* "$work/memory/" 2>/dev/null || find "$work/memory/eps" -type f -exec mv -t "$work/memory" {} +
    rmdir "$work/memory/eps"
    peaks_one=()
    peaks_many=()
    for ((round = 0; round < rounds; round++)); do
      peaks_one+=("$(peak_kb "$hotbatch" -g 0 -d "$work/memory" '*.EPS' true)")
      if [ "$has_jobs" = 1 ]; then
        peaks_many+=("$(peak_kb "$hotbatch" -j 64 -g 0 -d "$work/memory" '*.EPS' true)")
      fi
    done
    mb() { read -r m _ _ <<<"$(stats "$@")"; awk -v k="$m" 'BEGIN { printf "%.1f MB", k / 1024 }'; }
    if [ "$has_jobs" = 1 ]; then
      row "Peak memory, 100,000 entries, 1,000 jobs, \`-j 64\`" "$(mb "${peaks_many[@]}")" \
        "\`-j 1\`: $(mb "${peaks_one[@]}")" "" "<= 8 MB"
    else
      row "Peak memory, 100,000 entries, 1,000 jobs, \`-j 64\`" "$needs_jobs" \
        "\`-j 1\`: $(mb "${peaks_one[@]}")" "" "<= 8 MB"
    fi
    rm -rf "$work/memory"
  else
    row "Peak memory, 100,000 entries, \`-j 64\`" "not measured: /usr/bin/time is missing (Debian: apt-get install time)" "" "" "<= 8 MB"
  fi
fi

echo "| Case | hotbatch | reference | ratio (min-max) | target |"
echo "|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
