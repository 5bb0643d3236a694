#!/usr/bin/env bash
# Benchmarks of the core (walk and jobs one after the other), side by side with release 1.1 in the
# same run, and prints one table of figures. It judges nothing: the target column only repeats
# what each case aims at.
#
#   bench/core_bench.sh [path/to/hotbatch]          (default: build/hotbatch)
#
# Cases:
#   folders  working-folder changes of the hotbatch process itself (chdir and fchdir, counted by
#            strace without -f, so a command's child never counts): -r over 40 folders holding 2
#            matching files each, command `true`, -g 0, one pass, at -j 1 and -j 4 (1.1: -j 1).
#   walk     one pass over 1,000 folders x 100 files of which none matches (`-r -g 0 '*.EPS' ''`,
#            a pure walk: no file to test, no job): best wall time, warm cache, against 1.1 and
#            `find DIR -name '*.EPS'`; and the system calls of the hotbatch process (strace -c), and
#            with -f those of any process it starts too.
#   taken    the same tree with one matching file in each folder (1,000 files, `-r -g 0 '*.EPS' ''`:
#            each file taken through its readiness test, hold, identity checks and job start, the
#            empty command an announcement only): best wall time against 1.1 and `find`, and the
#            system calls of the pass with those of the pure walk taken off, per taken file.
#   jobs     2,000 x `true` in one folder, -j 1 -g 0, against bench/spawn_loop (the same shell
#            started 2,000 times one after the other in that folder) and 1.1.
#
# Release 1.1 takes the same options here, except that it has no -j: its runs leave -j out, which
# is its only way (one job at a time). An empty command is an announcement only in both.
#
# Settings (environment):
#   CORE_BENCH_OLD      a 1.1 hotbatch to compare with; without it, 1.1 is built from this
#                       repository's history (git archive of OLD_COMMIT) in CORE_BENCH_BUILD
#   CORE_BENCH_BUILD    where 1.1 is built (default: the bench build folder that holds the given
#                       hotbatch, else build-bench)
#   CORE_BENCH_SPAWN    the spawn_loop program (default: the one in CORE_BENCH_BUILD, built there
#                       with c++ when missing or older than bench/spawn_loop.cpp)
#   CORE_BENCH_ROUNDS   timed rounds of the walk, after one warm-up round (default 7)
#   CORE_BENCH_JOB_ROUNDS  timed rounds of the jobs case, no warm-up (default 3; a round of the
#                       three programs takes about 30 s on 2 cores)
#   CORE_BENCH_DIR      where the test folders go (default: /dev/shm when writable, else /tmp)
#   CORE_BENCH_CASES    which cases to run (default: "folders walk taken jobs")
set -u

# Release 1.1: the last commit of version 1.1.0 before work on 1.2 began (-j came next). The
# version in CMakeLists.txt stayed 1.1.0 while -j and -w were built; 1.2.0 came with their docs.
OLD_COMMIT=317557310be6fd56be653cfd08092fe02e94edcc
OLD_NAME=1.1

root=$(cd "$(dirname "$0")/.." && pwd)
hotbatch=$(readlink -f "${1:-$root/build/hotbatch}")
rounds=${CORE_BENCH_ROUNDS:-7}
job_rounds=${CORE_BENCH_JOB_ROUNDS:-3}
cases=" ${CORE_BENCH_CASES:-folders walk taken jobs} "
if [ ! -x "$hotbatch" ]; then
  echo "core_bench: no hotbatch at $hotbatch (build it first, or give its path)" >&2
  exit 2
fi
parent=${CORE_BENCH_DIR:-}
if [ -z "$parent" ]; then
  parent=/tmp
  [ -d /dev/shm ] && [ -w /dev/shm ] && parent=/dev/shm
fi
work=$(mktemp -d "$parent/hotbatch-core-bench.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT

# The bench build (bench/CMakeLists.txt) puts hotbatch in <build>/hotbatch/hotbatch.
bench_build=${CORE_BENCH_BUILD:-}
if [ -z "$bench_build" ]; then
  bench_build=$root/build-bench
  up=$(dirname "$(dirname "$hotbatch")")
  [ "$(basename "$(dirname "$hotbatch")")" = hotbatch ] && [ -f "$up/CMakeCache.txt" ] && bench_build=$up
fi

wanted() { [[ "$cases" == *" $1 "* ]]; }
have_strace=0
command -v strace >/dev/null 2>&1 && have_strace=1
no_strace="not measured: strace is missing (Debian: apt-get install strace)"

# --- The programs --------------------------------------------------------------------------------

# Builds 1.1 from history unless given; prints its path, or nothing when it cannot be had.
old_hotbatch() {
  if [ -n "${CORE_BENCH_OLD:-}" ]; then
    readlink -f "$CORE_BENCH_OLD"
    return
  fi
  local dir=$bench_build/core-bench-$OLD_NAME
  if [ -x "$dir/build/hotbatch" ] && [ "$(cat "$dir/commit" 2>/dev/null)" = "$OLD_COMMIT" ]; then
    echo "$dir/build/hotbatch"
    return
  fi
  if ! git -C "$root" cat-file -e "$OLD_COMMIT^{commit}" 2>/dev/null; then
    echo "core_bench: commit $OLD_COMMIT ($OLD_NAME) is not in this repository's history" >&2
    return
  fi
  echo "building $OLD_NAME ($OLD_COMMIT) in $dir" >&2
  rm -rf "$dir" && mkdir -p "$dir/source" || return
  git -C "$root" archive "$OLD_COMMIT" | tar -x -C "$dir/source" || return
  if cmake -S "$dir/source" -B "$dir/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    >"$dir/build.log" 2>&1 &&
    cmake --build "$dir/build" -j "$(nproc)" --target hotbatch >>"$dir/build.log" 2>&1; then
    echo "$OLD_COMMIT" >"$dir/commit"
    echo "$dir/build/hotbatch"
  else
    echo "core_bench: building $OLD_NAME failed (see $dir/build.log)" >&2
  fi
}

# The spawn loop of the bench build, else one compiled here; prints its path or nothing.
spawn_loop() {
  local built=$bench_build/spawn_loop
  if [ -n "${CORE_BENCH_SPAWN:-}" ]; then
    readlink -f "$CORE_BENCH_SPAWN"
  elif [ -x "$built" ] && [ "$built" -nt "$root/bench/spawn_loop.cpp" ]; then
    echo "$built"
  elif mkdir -p "$bench_build" && c++ -std=c++17 -O2 -o "$bench_build/spawn_loop" "$root/bench/spawn_loop.cpp"; then
    echo "$bench_build/spawn_loop"
  fi
}

old=$(old_hotbatch)
mkdir -p "$work/empty"
if grep -qx 'Spoolex: Jobs at once: 2' <<<"$("$hotbatch" -j 2 -g 0 -d "$work/empty" '*.none' '' 2>&1)"; then
  has_jobs=1
else
  has_jobs=0
fi
# The option -j N, or nothing where this build has no -j.
jobs_option() { [ "$has_jobs" = 1 ] && echo "-j $1"; }

# --- Measuring -----------------------------------------------------------------------------------

now_us() { echo "${EPOCHREALTIME/./}"; }

# Runs a command with its output in $work/last.txt; prints the elapsed milliseconds and the CPU
# milliseconds (user and system) of the command and the processes it waited for. Called in a
# command substitution, whose shell has no other children when `times` reads them.
elapsed_ms() {
  local start end
  start=$(now_us)
  "$@" >"$work/last.txt" 2>&1
  end=$(now_us)
  times >"$work/times.txt"
  awk -v us=$((end - start)) 'NR == 2 {
    split($1 $2, t, /[ms]/)
    printf "%.1f %.1f\n", us / 1000, (t[1] * 60 + t[2] + t[3] * 60 + t[4]) * 1000 }' "$work/times.txt"
}

# Times the commands of the named arrays alternately, `n` rounds after a warm-up round when the
# first argument is `warm` (the one that goes first moves on every round); fills best[NAME] with
# each one's fastest round in ms, and cpu[NAME] with its least CPU time in a round.
declare -A best cpu
race() {
  local warm=$1 n=$2 round i k name ms
  shift 2
  local -a names=("$@")
  local -a cmd
  for name in "${names[@]}"; do
    eval 'cmd=("${'"$name"'[@]}")'
    [ "$warm" = warm ] && "${cmd[@]}" >/dev/null 2>&1
    best[$name]=""
    cpu[$name]=""
  done
  for ((round = 0; round < n; round++)); do
    for ((i = 0; i < ${#names[@]}; i++)); do
      k=$(((i + round) % ${#names[@]}))
      name=${names[$k]}
      eval 'cmd=("${'"$name"'[@]}")'
      read -r ms spent <<<"$(elapsed_ms "${cmd[@]}")"
      cp "$work/last.txt" "$work/$name.txt"
      if [ -z "${best[$name]}" ] || awk -v a="$ms" -v b="${best[$name]}" 'BEGIN { exit !(a < b) }'; then
        best[$name]=$ms
      fi
      if [ -z "${cpu[$name]}" ] || awk -v a="$spent" -v b="${cpu[$name]}" 'BEGIN { exit !(a < b) }'; then
        cpu[$name]=$spent
      fi
    done
  done
}

# Milliseconds as shown: a tenth below one second, whole ones above.
ms() { awk -v m="$1" 'BEGIN { printf (m < 1000 ? "%.1f ms" : "%.0f ms"), m }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

# Calls of the listed system calls (all when none) made by the hotbatch process itself, from
# strace -c without -f: children are not followed. `syscalls -f ...` counts its children too.
syscalls() {
  local follow=""
  if [ "$1" = -f ]; then
    follow=-f
    shift
  fi
  local trace=$1
  shift
  strace $follow -c -o "$work/strace.txt" ${trace:+-e "trace=$trace"} "$@" >"$work/last.txt" 2>&1
  awk '$NF == "total" { print $4 }' "$work/strace.txt"
}

# A note for a row whose last hotbatch run (output in FILE) did not take every file.
short_of() {
  local seen
  seen=$(grep -c 'File found and under processing' "$2")
  [ "$seen" -eq "$1" ] || echo " (only $seen of $1 jobs ran)"
}

rows=()
row() { rows+=("| $1 | $2 | $3 | $4 | $5 | $6 |"); }
no_old="not built"

echo "Machine: $(grep -m1 'model name' /proc/cpuinfo 2>/dev/null | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores online; Linux $(uname -r); folders in $parent"
echo "hotbatch: $hotbatch"
echo "$OLD_NAME: ${old:-not available} (commit ${OLD_COMMIT:0:12} unless given)"
echo "Times are the best of $rounds rounds after a warm-up (walk) and of $job_rounds rounds (jobs); ratios"
echo "of those, and in brackets of the least CPU time (user and system, waited-for children included)"
[ "$has_jobs" = 0 ] && echo "This hotbatch has no -j: its -j 1 rows leave the option out, its -j 4 row is not run."
echo

# --- Working-folder changes ----------------------------------------------------------------------

if wanted folders; then
  echo "folders: 40 folders x 2 files, strace -e trace=chdir,fchdir" >&2
  for ((d = 0; d < 40; d++)); do
    mkdir -p "$work/folders/d$d"
    : >"$work/folders/d$d/a.job"
    : >"$work/folders/d$d/b.job"
  done
  name="Working-folder changes of our process, \`-r -g 0\`, 40 folders, 80 x \`true\`"
  if [ "$have_strace" = 0 ]; then
    row "$name" "$no_strace" "" "" "" "<= 2 (start-up)"
  else
    for jobs in 1 4; do
      if [ "$has_jobs" = 0 ] && [ "$jobs" != 1 ]; then
        ours="needs -j (not in this build)"
      else
        ours=$(syscalls chdir,fchdir "$hotbatch" $(jobs_option "$jobs") -r -g 0 -d "$work/folders" '*.job' true)
        ours+=$(short_of 80 "$work/last.txt")
      fi
      theirs="no -j"
      if [ "$jobs" = 1 ]; then
        theirs=$no_old
        if [ -n "$old" ]; then
          theirs=$(syscalls chdir,fchdir "$old" -r -g 0 -d "$work/folders" '*.job' true)
          theirs+=$(short_of 80 "$work/last.txt")
        fi
      fi
      row "$name, \`-j $jobs\`" "$ours" "$theirs" "" "" "<= 2 (start-up)"
      name="  the same"
    done
  fi
  rm -rf "$work/folders"
fi

# --- Walk ----------------------------------------------------------------------------------------

# The tree of the walk: 1,000 folders x 100 files, of which `matching` in each folder are named
# job.EPS (one at most).
make_tree() {
  local matching=$1
  tree=$work/tree
  rm -rf "$tree"
  mkdir -p "$tree"
  (cd "$tree" && seq -f 'd%g' 0 999 | xargs mkdir &&
    for ((d = 0; d < 1000; d++)); do
      printf "d$d/file-%03d.dat\n" $(seq 0 $((99 - matching)))
      [ "$matching" = 1 ] && echo "d$d/job.EPS"
    done | xargs touch)
}

# Races this hotbatch, the old one (when there is one) and find over $tree as the cases new_$1,
# old_$1 and find_$1, each pass `-r -g 0 '*.EPS' ''`, and prints their row: $2 the case, $3 the
# target, $4 (when given) the files each pass must take, checked in its output.
race_tree() {
  local key=$1 label=$2 target=$3 files=${4:-}
  eval "new_$key=(\"\$hotbatch\" -r -g 0 -d \"\$tree\" '*.EPS' '')"
  eval "old_$key=(\"\$old\" -r -g 0 -d \"\$tree\" '*.EPS' '')"
  eval "find_$key=(find \"\$tree\" -name '*.EPS')"
  if [ -n "$old" ]; then
    race warm "$rounds" "new_$key" "old_$key" "find_$key"
  else
    race warm "$rounds" "new_$key" "find_$key"
  fi
  local short_new="" short_old="" versus_old="" theirs=$no_old
  [ -n "$files" ] && short_new=$(short_of "$files" "$work/new_$key.txt")
  if [ -n "$old" ]; then
    [ -n "$files" ] && short_old=$(short_of "$files" "$work/old_$key.txt")
    versus_old="/ $OLD_NAME: $(ratio "${best[new_$key]}" "${best[old_$key]}") (CPU $(ratio "${cpu[new_$key]}" "${cpu[old_$key]}")); "
    theirs="$(ms "${best[old_$key]}")$short_old"
  fi
  row "$label" "$(ms "${best[new_$key]}")$short_new" "$theirs" \
    "\`find -name '*.EPS'\`: $(ms "${best[find_$key]}")" \
    "${versus_old}/ find: $(ratio "${best[new_$key]}" "${best[find_$key]}") (CPU $(ratio "${cpu[new_$key]}" "${cpu[find_$key]}"))" \
    "$target"
}

walk_calls=""
if wanted walk; then
  echo "walk: making 1,000 folders x 100 files" >&2
  make_tree 0
  echo "walk: $rounds rounds" >&2
  race_tree walk "Pass over 1,000 folders x 100 files, none matching, \`-r -g 0 '*.EPS' ''\`" \
    "<= 1.00 / $OLD_NAME; <= 0.75 / find"
  name="  system calls of our process, the same pass (strace -c; with -f, children too)"
  if [ "$have_strace" = 0 ]; then
    row "$name" "$no_strace" "" "" "" "no more than $OLD_NAME"
  else
    ours=$(syscalls "" "${new_walk[@]}")
    ours_all=$(syscalls -f "" "${new_walk[@]}")
    walk_calls=$ours
    theirs=$no_old
    versus=""
    if [ -n "$old" ]; then
      theirs=$(syscalls "" "${old_walk[@]}")
      old_walk_calls=$theirs
      theirs_all=$(syscalls -f "" "${old_walk[@]}")
      versus="/ $OLD_NAME: $(ratio "$ours" "$theirs"); with -f: $(ratio "$ours_all" "$theirs_all")"
      theirs+="; with -f: $theirs_all"
    fi
    row "$name" "$ours; with -f: $ours_all" "$theirs" "" "$versus" "no more than $OLD_NAME"
  fi
  rm -rf "$tree"
fi

# --- Taken files ---------------------------------------------------------------------------------

if wanted taken; then
  echo "taken: making 1,000 folders x 100 entries, one matching in each" >&2
  make_tree 1
  echo "taken: $rounds rounds" >&2
  race_tree taken "Pass over 1,000 folders x 100 entries, 1,000 matching, \`-r -g 0 '*.EPS' ''\`" \
    "<= 1.00 / $OLD_NAME" 1000
  name="  system calls of our process, the same pass (strace -f -c); per taken file, the walk's taken off"
  if [ "$have_strace" = 0 ]; then
    row "$name" "$no_strace" "" "" "" "no more than $OLD_NAME"
  else
    # Per taken file: what the pass calls beyond the pure walk of the same tree (measured above,
    # or here when the walk case did not run), over the 1,000 files.
    [ -n "$walk_calls" ] || { make_tree 0; walk_calls=$(syscalls "" "$hotbatch" -r -g 0 -d "$tree" '*.EPS' ''); old_walk_calls=""; [ -n "$old" ] && old_walk_calls=$(syscalls "" "$old" -r -g 0 -d "$tree" '*.EPS' ''); make_tree 1; }
    per_file() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (a - b) / 1000 }'; }
    ours=$(syscalls -f "" "${new_taken[@]}")
    shown="$ours, $(per_file "$ours" "$walk_calls") per taken file"
    theirs=$no_old
    versus=""
    if [ -n "$old" ]; then
      theirs=$(syscalls -f "" "${old_taken[@]}")
      versus="/ $OLD_NAME: $(ratio "$ours" "$theirs"); per taken file: $(ratio "$(per_file "$ours" "$walk_calls")" "$(per_file "$theirs" "${old_walk_calls:-0}")")"
      theirs+=", $(per_file "$theirs" "${old_walk_calls:-0}") per taken file"
    fi
    row "$name" "$shown" "$theirs" "" "$versus" "no more than $OLD_NAME"
  fi
  rm -rf "$tree"
fi

# --- Jobs one after the other --------------------------------------------------------------------

if wanted jobs; then
  loop=$(spawn_loop)
  echo "jobs: 2,000 x true, $job_rounds rounds" >&2
  mkdir -p "$work/jobs"
  (cd "$work/jobs" && seq -f 'job-%04g.x' 0 1999 | xargs touch)
  new_jobs=("$hotbatch" $(jobs_option 1) -g 0 -d "$work/jobs" '*.x' true)
  old_jobs=("$old" -g 0 -d "$work/jobs" '*.x' true)
  loop_jobs=("$loop" "$work/jobs" 2000 true)
  names=(new_jobs)
  [ -n "$loop" ] && names+=(loop_jobs)
  [ -n "$old" ] && names+=(old_jobs)
  race cold "$job_rounds" "${names[@]}"
  versus=""
  [ -n "$loop" ] && versus="/ spawn loop: $(ratio "${best[new_jobs]}" "${best[loop_jobs]}") (CPU $(ratio "${cpu[new_jobs]}" "${cpu[loop_jobs]}"))"
  [ -n "$old" ] && versus+="${versus:+; }/ $OLD_NAME: $(ratio "${best[new_jobs]}" "${best[old_jobs]}") (CPU $(ratio "${cpu[new_jobs]}" "${cpu[old_jobs]}"))"
  notes=$(short_of 2000 "$work/new_jobs.txt")
  theirs=$no_old
  [ -n "$old" ] && theirs="$(ms "${best[old_jobs]}")$(short_of 2000 "$work/old_jobs.txt")"
  reference="spawn loop of \`/bin/sh -c true\`: not built"
  [ -n "$loop" ] && reference="spawn loop of \`/bin/sh -c true\`: $(ms "${best[loop_jobs]}")"
  row "2,000 x \`true\` in one folder, \`-j 1 -g 0\`" "$(ms "${best[new_jobs]}")$notes" \
    "$theirs" "$reference" \
    "$versus" "<= 1.05 / spawn loop"
  rm -rf "$work/jobs"
fi

echo "| Case | hotbatch | $OLD_NAME | reference | ratio | target |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
