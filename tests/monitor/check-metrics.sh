#!/usr/bin/env bash
# The metrics file after a run with known outcomes (one job done, one failed, one stopped at its
# time limit, one left at a stop; -E -e run each once), read by the real node exporter's textfile collector and checked
# by promtool. Skips (status 77) where the tools are missing, except with CI=true.
# Usage: check-metrics.sh path/to/hotbatch
set -euo pipefail
hotbatch=$(realpath "$1")
exporter=$(command -v prometheus-node-exporter || true)
promtool=$(command -v promtool || true)
if [ -z "$exporter" ] || [ -z "$promtool" ] || ! command -v curl >/dev/null; then
  echo "SKIPPED: needs prometheus-node-exporter, promtool (Debian prometheus) and curl"
  [ "${CI:-}" = true ] && exit 1
  exit 77
fi
fail() {
  echo "Metrics check: FAILED: $*"
  exit 1
}
work=$(mktemp -d "${TMPDIR:-/tmp}/hotbatch-metrics.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/in" "$work/metrics" "$work/err"
for name in ok fail slow; do echo 1 >"$work/in/$name.job"; done

# Waits up to 20 seconds for a line in hotbatch's output.
wait_for() {
  for _ in $(seq 200); do
    grep -qF "$1" "$work/out" && return 0
    sleep 0.1
  done
  fail "no '$1' in: $(cat "$work/out")"
}

cd "$work"
"$hotbatch" -l -s 1 -g 0 -j 4 -k 1 -E -e ../err -d in -m metrics/hotbatch.prom '*.job' \
  'case "@2@" in ok) exit 0;; fail) exit 1;; *) exec sleep 30;; esac' >out &
pids+=($!)
wait_for "Job of '$work/in/slow.job' stopped after 1 Sek"
echo 1 >"$work/in/late.job"
wait_for "File found and under processing: $work/in/late.job"
kill -TERM "${pids[0]}"
wait "${pids[0]}" || fail "hotbatch ended with status $?"
grep -q "left for the next run" out || fail "the late job was not left: $(cat out)"

"$promtool" check metrics <metrics/hotbatch.prom || fail "promtool check metrics"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$exporter" --web.listen-address="127.0.0.1:$port" --collector.disable-defaults \
  --collector.textfile --collector.textfile.directory="$work/metrics" 2>exporter.log &
pids+=($!)
scraped=""
for _ in $(seq 100); do
  scraped=$(curl -sf "http://127.0.0.1:$port/metrics" || true)
  [ -n "$scraped" ] && break
  sleep 0.1
done
[ -n "$scraped" ] || fail "the node exporter did not answer: $(cat exporter.log)"
for expected in 'node_textfile_scrape_error 0' \
  'hotbatch_jobs_total{result="done"} 1' 'hotbatch_jobs_total{result="failed"} 1' \
  'hotbatch_jobs_total{result="stopped"} 1' 'hotbatch_jobs_total{result="left"} 1' \
  'hotbatch_files_waiting 0' 'hotbatch_commands_running 0' \
  'hotbatch_oldest_running_job_age_seconds 0' 'hotbatch_files_kept_total 0' \
  'hotbatch_build_info{version="'"$("$hotbatch" | sed -n 's/^Version //p')"'"} 1'; do
  grep -qxF "$expected" <<<"$scraped" || fail "no '$expected' in the scrape: $(grep hotbatch_ <<<"$scraped")"
done
grep -q '^hotbatch_passes_total [1-9]' <<<"$scraped" || fail "no pass counted"
echo "Metrics check: passed"
