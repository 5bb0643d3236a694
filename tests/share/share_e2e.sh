#!/usr/bin/env bash
# Two machines on one share: a folder exported by an sshd of our own on 127.0.0.1, mounted twice
# with sshfs, one service per mount with -p (work folders on the share) and -f. One is killed
# mid-batch and started again: every file runs, none more than twice, the work folders end empty,
# a file written with a pause runs whole, and an old done file does not count. Skips (77) where
# FUSE cannot mount; missing programs fail with CI=true.
# Usage: share_e2e.sh path/to/hotbatch
set -euo pipefail
hotbatch=$(realpath "$1")
if [ ! -x /usr/sbin/sshd ] || ! command -v sshfs >/dev/null; then
  echo "SKIPPED: needs sshfs and openssh-server"
  [ "${CI:-}" = true ] && exit 1
  exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/hotbatch-share.XXXXXX")
fail() {
  echo "Share test: FAILED: $*"
  for log in "$work"/out-*; do echo "--- $log" && tail -20 "$log"; done
  exit 1
}
pids=()
mounts=()
cleanup() { # the services (their folders are on the mounts), the mounts, the server
  for pid in "${pids[@]:1}"; do kill -9 "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]:1}"; do wait "$pid" 2>/dev/null || true; done
  for mount in "${mounts[@]}"; do fusermount3 -u -z "$mount" 2>/dev/null || true; done
  [ "${#pids[@]}" -gt 0 ] && kill "${pids[0]}" 2>/dev/null
  wait 2>/dev/null || true
  for mount in "${mounts[@]}"; do mountpoint -q "$mount" && return; done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
mkdir -p export/in export/work-a export/work-b a b && chmod 700 export/work-*
ssh-keygen -q -t ed25519 -N '' -f host_key && ssh-keygen -q -t ed25519 -N '' -f user_key
port=$((20000 + $$ % 20000))
printf '%s\n' "ListenAddress 127.0.0.1" "Port $port" "HostKey $work/host_key" \
  "AuthorizedKeysFile $work/user_key.pub" "PidFile $work/sshd.pid" "StrictModes no" "UsePAM no" \
  "PasswordAuthentication no" "Subsystem sftp internal-sftp" >sshd_config
mkdir -p /run/sshd
/usr/sbin/sshd -D -e -f sshd_config 2>sshd.log &
pids+=($!)
for side in a b; do
  for _ in $(seq 50); do
    sshfs -p "$port" -o IdentityFile="$work/user_key",StrictHostKeyChecking=no \
      -o UserKnownHostsFile=/dev/null,dir_cache=no "$(id -un)@127.0.0.1:$work/export" "$side" \
      2>>mount.log && break
    sleep 0.2
  done
  mountpoint -q "$side" || { echo "SKIPPED: FUSE cannot mount here: $(tail -1 mount.log)"; exit 77; }
  mounts+=("$work/$side")
done

count=200
touch ran
for i in $(seq -w 1 $count); do echo "job $i" >"export/in/f$i.job" && touch "export/in/f$i.job.done"; done
start() { # side, run: each command writes its file's name and size
  "$hotbatch" -l -s 1 -g 1 -j 2 -E -p "$1/work-$1" -d "$1/in" -f '@1@.done' '*.job' \
    "echo \"\$HOTBATCH_2 \$(wc -c <\"\$HOTBATCH_1\")\" >>$work/ran; sleep 0.02" >"out-$1$2" 2>&1 &
  pids+=($!)
}
# Waits until the condition $1 holds, for at most 5 minutes: only a guard against a hang.
wait_until() {
  local end=$((SECONDS + 300))
  until eval "$1"; do [ $SECONDS -lt $end ] || return 1; sleep 0.1; done
}
start a 1
killed=${pids[-1]}
start b 1
head -c 5000 /dev/zero >export/in/slow.job # its second half 3 s later, then its done file
wait_until '[ "$(wc -l <ran)" -ge 40 ]' || fail "the first files did not run"
kill -9 "$killed" && { wait "$killed" 2>/dev/null || true; }
start a 2
sleep 3
head -c 5000 /dev/zero >>export/in/slow.job && touch export/in/slow.job.done
jobs_left() { ls export/in | grep -v '\.done$' || true; }
wait_until '[ -z "$(jobs_left)" ] && [ "$(sort -u -k1,1 ran | wc -l)" -ge $((count + 1)) ]' || true
grep -q "is on a network file system" out-a1 || fail "no network warning"
[ -z "$(jobs_left)" ] || fail "left in the inbox: $(jobs_left | head)"
[ "$(sort -u -k1,1 ran | wc -l)" -eq $((count + 1)) ] || fail "not every file ran"
[ "$(cut -d' ' -f1 ran | sort | uniq -d | wc -l)" -le 2 ] || fail "more than two files ran twice"
[ "$(cut -d' ' -f1 ran | sort | uniq -c | awk '$1 > 2' | wc -l)" -eq 0 ] || fail "a file ran 3 times"
grep -qx "slow 10000" ran || fail "the slow file ran before it was whole: $(grep slow ran)"
# A done file stays only where the kill came between its file's erase and its own.
[ "$(ls export/in | wc -l)" -le 2 ] || fail "done files left: $(ls export/in | head)"
for done in export/in/*.done; do
  [ -e "$done" ] && ! grep -q "^$(basename "$done" .job.done) " ran && fail "done file of no run: $done"
done
work_left() { find export/work-a export/work-b -mindepth 1 -printf "%p %s\n"; }
wait_until '[ -z "$(work_left)" ]' || fail "left in a work folder: $(work_left)"
touch -d '1 hour ago' export/in/late.job.done # left by an earlier file: waits for a new one
echo late >export/in/late.job
sleep 3
grep -q "^late " ran && fail "a file ran on a done file older than itself"
touch export/in/late.job.done
wait_until 'grep -q "^late " ran' || fail "a file did not run after its done file was renewed"
echo "Share test: passed ($(wc -l <ran) jobs)"
