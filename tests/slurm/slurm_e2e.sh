#!/usr/bin/env bash
# End-to-end test of hotbatch handing each job to a real Slurm cluster through srun.
#
#   tests/slurm/slurm_e2e.sh path/to/hotbatch
#
# Starts the single-node cluster of examples/slurm/ in a throw-away folder (needs root, slurm-wlm
# and munge), then:
#   - runs hotbatch -j 4 with `srun --quiet -N1 -n1 ...` over 40 files, some of which fail, and
#     checks that each file ran exactly once as its own Slurm job, in its own folder, that the
#     failures went to the error folder and the rest were processed, and that steps overlapped
#     (but never more than 4 at once);
#   - stops a looping run with SIGTERM while steps run, and checks that hotbatch waited for every
#     step it had started, counted its result (the file is erased), and took nothing new;
#   - sends a second stop request, which must end hotbatch at once with status 1 and leave the
#     running job's file alone.
#
# Where the cluster cannot start (not root, packages missing, no ports) the test prints SKIPPED
# and why, and exits 0; with CI=true the same is a failure.
#
# HOTBATCH_SLURM_SEQUENTIAL=1 runs everything without -j 4 (one file at a time, as a build
# without -j does): the concurrency checks become "steps never overlap".
# HOTBATCH_SLURM_KEEP=1 keeps the work folder (cluster logs, console output) for inspection.
set -u

if [ $# -ne 1 ] || [ ! -x "$1" ]; then
  echo "Usage: $0 path/to/hotbatch" >&2
  exit 2
fi
binary=$(readlink -f "$1")
root=$(cd "$(dirname "$0")/../.." && pwd)
cluster=$root/examples/slurm/cluster.sh

if [ "${HOTBATCH_SLURM_SEQUENTIAL:-0}" = 1 ]; then
  jobs=1
  jobs_option=()
else
  jobs=4
  jobs_option=(-j 4)
fi

passed=0
failed=0

check() {
  local description=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok: $description"
  else
    failed=$((failed + 1))
    echo "FAILED: $description"
  fi
}

summary() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

cannot_run() {
  if [ "${CI:-}" = true ]; then
    echo "FAILED: the Slurm test must run in CI, but $1"
    failed=$((failed + 1))
    summary
    exit 1
  fi
  echo "SKIPPED: $1"
  exit 0
}

[ "$(id -u)" = 0 ] || cannot_run "it needs root to start slurmctld and slurmd"
for program in munged slurmctld slurmd srun sinfo squeue scontrol; do
  command -v "$program" >/dev/null 2>&1 ||
    cannot_run "$program is not installed (Debian: apt-get install slurm-wlm munge)"
done

work=$(mktemp -d /tmp/hotbatch-slurm.XXXXXX)
state=$work/cluster
hotbatch_pid=

cleanup() {
  if [ -n "$hotbatch_pid" ] && kill -0 "$hotbatch_pid" 2>/dev/null; then
    kill -KILL "$hotbatch_pid" 2>/dev/null
  fi
  bash "$cluster" stop "$state" >/dev/null 2>&1
  if [ "${HOTBATCH_SLURM_KEEP:-0}" = 1 ] || [ "$failed" -ne 0 ]; then
    echo "Work folder kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

# The node declares 8 CPUs whatever the machine has: the steps mostly sleep, and with room for
# more than 4 at once, any limit seen comes from hotbatch, not from Slurm.
if ! SLURM_EXAMPLE_CPUS=8 bash "$cluster" start "$state" >"$work/cluster-start.txt" 2>&1; then
  cat "$work/cluster-start.txt"
  cannot_run "the single-node Slurm cluster did not start (output above)"
fi
export SLURM_CONF=$state/slurm.conf
echo "Slurm cluster up ($SLURM_CONF); hotbatch with ${jobs_option[*]:-no -j}"

# The command each file's job step runs: it records a start mark, waits, then appends one line
# per run (job id, step id, start, end, status, working folder) to OUT/<name>.runs, and fails
# for files that hold the word "fail".
out=$work/out
mkdir -p "$out"
cat >"$work/step.sh" <<EOF
#!/bin/sh
name=\$(basename "\$1")
start=\$(date +%s.%N)
echo "\$start" >"$out/\$name.started"
sleep "\$2"
status=0
grep -q fail "\$1" && status=3
echo "\${SLURM_JOB_ID:-none} \${SLURM_STEP_ID:-none} \$start \$(date +%s.%N) \$status \$(pwd)" >>"$out/\$name.runs"
exit \$status
EOF
step() { echo "srun --quiet -N1 -n1 /bin/sh $work/step.sh \"@1@\" $1"; }

# Runs hotbatch in the background with its console in $work/$1.txt; sets hotbatch_pid.
start_hotbatch() {
  local console=$work/$1.txt
  shift
  "$binary" "$@" >"$console" 2>&1 &
  hotbatch_pid=$!
}

# Waits up to $2 seconds for hotbatch to end; sets hotbatch_status (999: it did not end).
await_hotbatch() {
  local deadline=$((SECONDS + $1))
  while kill -0 "$hotbatch_pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.1; done
  if kill -0 "$hotbatch_pid" 2>/dev/null; then
    kill -KILL "$hotbatch_pid"
    wait "$hotbatch_pid" 2>/dev/null
    hotbatch_status=999
  else
    wait "$hotbatch_pid"
    hotbatch_status=$?
  fi
  hotbatch_pid=
}

# Waits up to $2 seconds until at least $1 steps have recorded their start.
await_started() {
  local deadline=$((SECONDS + $2))
  while [ "$(find "$out" -name '*.started' | wc -l)" -lt "$1" ]; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

count() { grep -c -F -- "$1" "$2"; }
equals() { [ "$1" = "$2" ] || { echo "  expected '$2', got '$1'"; return 1; }; }
# The largest number of steps that ran at the same time, from the records in $out.
max_overlap() {
  cat "$out"/*.runs 2>/dev/null | awk '{ print $3, 1; print $4, -1 }' | sort -k1,1g -k2,2n |
    awk '{ now += $2; if (now > most) most = now } END { print most + 0 }'
}
runs_per_file() {
  for name in "$@"; do { wc -l <"$out/$name.runs"; } 2>/dev/null || echo 0; done | sort -u | tr '\n' ' '
}

# --- 40 files, 5 of them failing ----------------------------------------------------------------
hot=$work/hot
errors=$work/failed
mkdir -p "$hot" "$errors"
names=()
failing=()
for i in $(seq -w 1 40); do
  name=f$i.dat
  names+=("$name")
  if [ $((10#$i % 7)) -eq 0 ]; then
    echo "fail $i" >"$hot/$name"
    failing+=("$name")
  else
    echo "ok $i" >"$hot/$name"
  fi
done

start_hotbatch batch "${jobs_option[@]}" -g 0 -E -d "$hot" -e "$errors" -o "$work/run.log" \
  '*.dat' "$(step 0.6)"
await_hotbatch 600

check "the run ends with status 0" equals "$hotbatch_status" 0
if [ "$jobs" -gt 1 ]; then
  check "the job count is echoed" grep -qx "Spoolex: Jobs at once: $jobs" "$work/batch.txt"
fi
check "every file ran exactly once" equals "$(runs_per_file "${names[@]}")" "1 "
check "each file was its own Slurm job, as step 0" equals \
  "$(cat "$out"/*.runs | awk '$1 ~ /^[0-9]+$/ && $2 == 0 { print $1 }' | sort -u | wc -l)" 40
check "each step ran in its file's folder" equals \
  "$(cat "$out"/*.runs | awk -v hot="$hot" '$6 != hot' | wc -l)" 0
check "each file was announced once" equals "$(count 'File found and under processing:' "$work/batch.txt")" 40
check "the failures were reported" equals "$(count 'ERROR DURING PROCESSING!' "$work/batch.txt")" "${#failing[@]}"
check "the others were processed" equals "$(count 'Datei was processed:' "$work/batch.txt")" \
  $((40 - ${#failing[@]}))
check "the run log holds an entry per job" equals \
  "$(count 'Datei was processed:' "$work/run.log") $(grep -c ' ERROR$' "$work/run.log")" \
  "$((40 - ${#failing[@]})) ${#failing[@]}"
check "the error folder holds exactly the failed files" equals \
  "$(cd "$errors" && ls | tr '\n' ' ')" "$(printf '%s ' "${failing[@]}")"
check "the failed files were copied whole" \
  bash -c 'for f in "$1"/*; do grep -qx "fail [0-9]*" "$f" || exit 1; done' - "$errors"
check "the hot folder is empty (-E)" equals "$(ls -A "$hot" | wc -l)" 0
if [ "$jobs" -gt 1 ]; then
  overlap=$(max_overlap)
  check "steps ran concurrently ($overlap at most at once)" test "$overlap" -ge 2
  check "never more than $jobs steps at once" test "$overlap" -le "$jobs"
else
  check "steps ran one after another" equals "$(max_overlap)" 1
fi
[ "$failed" -eq 0 ] || tail -n 40 "$work/batch.txt"

# --- A stop request while steps run --------------------------------------------------------------
rm -f "$out"/*
hot=$work/hot-stop
mkdir -p "$hot"
stop_names=()
for i in 1 2 3 4 5 6 7 8; do
  echo "ok $i" >"$hot/s$i.dat"
  stop_names+=("s$i.dat")
done
start_hotbatch stop "${jobs_option[@]}" -l -g 0 -E -d "$hot" '*.dat' "$(step 3)"
wanted=$((jobs > 1 ? 2 : 1))
if await_started "$wanted" 60; then
  kill -TERM "$hotbatch_pid"
  await_hotbatch 120
  squeue_after=$(squeue -h | wc -l)
  started=$(find "$out" -name '*.started' | wc -l)
  finished=$(find "$out" -name '*.runs' | wc -l)
  announced=$(count 'File found and under processing:' "$work/stop.txt")
  check "the stop ends with status 0 and 'Spoolex: Stopped'" equals \
    "$hotbatch_status $(tail -n 1 "$work/stop.txt")" "0 Spoolex: Stopped"
  check "every step that started had ended when hotbatch did ($finished of $started)" \
    equals "$finished" "$started"
  check "no step was left with Slurm" equals "$squeue_after" 0
  check "each file taken before the stop ran once and nothing more was taken" \
    equals "$announced $finished" "$finished $finished"
  check "at most $jobs files were in hand" test "$announced" -le "$jobs"
  # SIGTERM lets the running steps run out, and their results count: each of them is erased.
  check "the jobs the stop waited for were done, the rest left alone" equals \
    "$(cd "$hot" && ls | wc -l) $(count 'File erased:' "$work/stop.txt") $(count 'left for the next run' "$work/stop.txt")" \
    "$((8 - finished)) $finished 0"
  check "the files left behind are untouched" bash -c \
    'cd "$1" && for f in *.dat; do n=${f#s}; [ "$(cat "$f")" = "ok ${n%.dat}" ] || exit 1; done' - "$hot"
else
  check "steps started under the looping run" false
  kill -TERM "$hotbatch_pid" 2>/dev/null
  await_hotbatch 120
fi

# --- A second stop request ends the running step ---------------------------------------------------
rm -f "$out"/*
hot=$work/hot-twice
mkdir -p "$hot"
echo "ok 1" >"$hot/t1.dat"
start_hotbatch twice "${jobs_option[@]}" -l -g 0 -E -d "$hot" '*.dat' "$(step 3600)"
if await_started 1 60; then
  kill -TERM "$hotbatch_pid"
  # The second request only once the first was taken (two at once would count as one).
  deadline=$((SECONDS + 60))
  until grep -q "Stop requested" "$work/twice.txt" || [ "$SECONDS" -ge "$deadline" ]; do sleep 0.1; done
  kill -TERM "$hotbatch_pid"
  await_hotbatch 120 # the step would run an hour
  check "a second request ends hotbatch and its step with status 1" equals "$hotbatch_status" 1
  check "the running job's file is left alone" test -f "$hot/t1.dat"
else
  check "a step started under the looping run" false
  kill -TERM "$hotbatch_pid" 2>/dev/null
  await_hotbatch 120
fi

summary
