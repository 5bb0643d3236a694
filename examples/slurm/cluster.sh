#!/usr/bin/env bash
# Starts, shows and stops a single-node Slurm cluster on this machine, for trying hotbatch with
# srun:
#
#   sudo examples/slurm/cluster.sh start  STATEDIR   # munge, slurmctld, slurmd; waits until srun works
#   sudo examples/slurm/cluster.sh status STATEDIR   # status 0 when all three run, else 3
#   sudo examples/slurm/cluster.sh stop   STATEDIR   # cancels left-over jobs, stops the three daemons
#
# Everything it writes lives under STATEDIR: the generated slurm.conf, a munge key, socket and
# pid file of its own, the daemons' state, spool and logs, and the process ids it recorded. The
# system's munge daemon and /etc/slurm are left alone. After a start, point the Slurm commands at
# the cluster with
#
#   export SLURM_CONF=STATEDIR/slurm.conf        # or: . STATEDIR/env
#
# The daemons run as root. Stop ends exactly the processes whose ids start recorded, and only
# while they are still the same programs.
#
# Settings (environment):
#   SLURM_EXAMPLE_PORT   slurmctld's port; slurmd takes the next one (default: the first free
#                        pair from 6817 on)
#   SLURM_EXAMPLE_CPUS   CPUs to declare for the node (default: those of this machine); more than
#                        the machine has lets more steps share it, which suits commands that wait
#   SLURM_EXAMPLE_WAIT   seconds to wait for each daemon to come up (default 60)
set -u

here=$(cd "$(dirname "$0")" && pwd)
action=${1:-}
state=${2:-}

usage() {
  echo "Usage: $0 start|stop|status STATEDIR" >&2
  exit 2
}

if [ -z "$action" ] || [ -z "$state" ]; then usage; fi
case "$action" in start | stop | status) ;; *) usage ;; esac

if [ "$action" = start ]; then
  mkdir -p "$state" || exit 1
elif [ ! -d "$state" ]; then
  echo "cluster: nothing recorded in $state"
  [ "$action" = stop ] && exit 0
  exit 3
fi
state=$(cd "$state" && pwd)
conf=$state/slurm.conf
pids=$state/pids
wait_limit=${SLURM_EXAMPLE_WAIT:-60}
export SLURM_CONF=$conf

say() { echo "cluster: $*"; }
fail() {
  echo "cluster: $*" >&2
  exit 1
}

# The program a daemon must be running for its recorded id to count: the resolved path of the
# binary that start used.
program_of() {
  local path
  path=$(command -v "$1" 2>/dev/null) || return 1
  readlink -f "$path"
}

# True while the process recorded for the daemon is alive and still runs that daemon's program
# (a recycled process id never counts).
running() {
  local name=$1 pid exe
  [ -s "$pids/$name.pid" ] || return 1
  pid=$(cat "$pids/$name.pid")
  case "$pid" in '' | *[!0-9]*) return 1 ;; esac
  exe=$(readlink "/proc/$pid/exe" 2>/dev/null) || return 1
  [ "$exe" = "$(program_of "$name")" ]
}

recorded_pid() { cat "$pids/$1.pid" 2>/dev/null; }

# Starts a daemon in the foreground mode of its own, detached from this script's session and
# terminal, and records its process id. Its standard output and error go to log/NAME.out.
launch() {
  local name=$1
  shift
  setsid "$@" </dev/null >>"$state/log/$name.out" 2>&1 &
  echo "$!" >"$pids/$name.pid"
}

# Waits up to wait_limit seconds for a check to succeed while the daemon stays alive.
await() {
  local name=$1 deadline=$((SECONDS + wait_limit))
  shift
  while ! "$@" >/dev/null 2>&1; do
    running "$name" || return 1
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.5
  done
}

# Ends one daemon by its recorded id: SIGTERM, then SIGKILL after 20 seconds.
stop_daemon() {
  local name=$1 pid deadline
  if running "$name"; then
    pid=$(recorded_pid "$name")
    kill -TERM "$pid" 2>/dev/null
    deadline=$((SECONDS + 20))
    while running "$name" && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.2; done
    if running "$name"; then
      say "$name ($pid) did not stop within 20 s, killing it"
      kill -KILL "$pid" 2>/dev/null
      sleep 0.5
    fi
    say "stopped $name ($pid)"
  fi
  rm -f "$pids/$name.pid"
}

show_logs() {
  local file
  for file in "$state"/log/*; do
    [ -s "$file" ] || continue
    echo "--- last lines of $file" >&2
    tail -n 15 "$file" >&2
  done
}

# Without ss every port counts as free (set SLURM_EXAMPLE_PORT when the default is taken).
port_free() {
  command -v ss >/dev/null 2>&1 || return 0
  ! ss -Htln 2>/dev/null | awk '{print $4}' | grep -Eq "[:.]$1\$"
}

pick_ports() {
  local port=${SLURM_EXAMPLE_PORT:-}
  if [ -z "$port" ]; then
    port=6817
    while ! { port_free "$port" && port_free $((port + 1)); }; do
      port=$((port + 2))
      [ "$port" -lt 6917 ] || fail "no free port pair between 6817 and 6917"
    done
  fi
  ctld_port=$port
  slurmd_port=$((port + 1))
}

munge_works() {
  munge -n --socket="$state/munge/munge.socket.2" | unmunge --socket="$state/munge/munge.socket.2"
}

controller_up() { scontrol ping | grep -q 'is UP'; }

node_idle() { sinfo -h -o '%T' | grep -Eq '^(idle|mixed|allocated)'; }

write_config() {
  local host cpus params
  host=$(hostname -s 2>/dev/null || uname -n)
  host=${host%%.*}
  cpus=${SLURM_EXAMPLE_CPUS:-$(nproc)}
  case "$cpus" in '' | *[!0-9]* | 0) fail "SLURM_EXAMPLE_CPUS must be a positive number" ;; esac
  if [ -n "${SLURM_EXAMPLE_CPUS:-}" ] && [ "$cpus" -gt "$(nproc)" ]; then
    params="SlurmdParameters=config_overrides"
  else
    params="# CPUs as this machine has them"
  fi
  sed -e "s|@HOST@|$host|g" -e "s|@CPUS@|$cpus|g" -e "s|@STATEDIR@|$state|g" \
    -e "s|@CTLD_PORT@|$ctld_port|g" -e "s|@SLURMD_PORT@|$slurmd_port|g" \
    -e "s|@SLURMD_PARAMETERS@|$params|g" "$here/slurm.conf.in" >"$conf" || fail "cannot write $conf"
  : >"$state/plugstack.conf"
  echo "export SLURM_CONF='$conf'" >"$state/env"
}

make_munge_key() {
  local key=$state/munge/munge.key
  [ -s "$key" ] && return 0
  if command -v mungekey >/dev/null 2>&1; then
    mungekey --create --keyfile="$key" >/dev/null 2>&1 || return 1
  else
    dd if=/dev/urandom of="$key" bs=1024 count=1 status=none || return 1
  fi
  chmod 600 "$key"
}

start_failed() {
  echo "cluster: $*" >&2
  show_logs
  stop_all >/dev/null
  exit 1
}

start() {
  local name
  [ "$(id -u)" = 0 ] || fail "start needs root (the daemons run as root)"
  for name in munged munge unmunge slurmctld slurmd sinfo squeue scancel srun scontrol; do
    command -v "$name" >/dev/null 2>&1 || fail "$name not found (Debian: apt-get install slurm-wlm munge)"
  done
  for name in munged slurmctld slurmd; do
    running "$name" && fail "$name is already running here ($(recorded_pid "$name")); stop it first"
  done
  # munged refuses folders that others may write to. Its socket's folder is open to every local
  # user, so that anyone can submit; the key itself is readable by root alone.
  mkdir -p "$state/munge" "$state/ctld" "$state/slurmd" "$state/run" "$state/log" "$pids" || exit 1
  chmod 755 "$state/munge"
  chmod 700 "$state/ctld" "$state/slurmd"
  chmod go-w "$state"
  pick_ports
  write_config
  make_munge_key || fail "cannot create the munge key"

  launch munged munged --foreground --force --socket="$state/munge/munge.socket.2" \
    --key-file="$state/munge/munge.key" --pid-file="$state/munge/munged.pid" \
    --log-file="$state/log/munged.log" --seed-file="$state/munge/munged.seed"
  await munged munge_works || start_failed "munged did not come up"
  say "munged running ($(recorded_pid munged))"

  launch slurmctld slurmctld -D -c -f "$conf"
  await slurmctld controller_up || start_failed "slurmctld did not come up"
  say "slurmctld running ($(recorded_pid slurmctld)), port $ctld_port"

  launch slurmd slurmd -D -f "$conf"
  await slurmd node_idle || start_failed "slurmd did not register its node"
  say "slurmd running ($(recorded_pid slurmd)), port $slurmd_port"

  await slurmd timeout 60 srun --quiet -N1 -n1 true || start_failed "srun true does not work"
  say "ready: export SLURM_CONF=$conf"
}

# Cancels every job still known to the controller and waits briefly for them to end, so that no
# step outlives the daemons that watch it.
cancel_jobs() {
  local jobs deadline=$((SECONDS + 15))
  running slurmctld || return 0
  jobs=$(squeue -h -o '%A' 2>/dev/null)
  [ -n "$jobs" ] || return 0
  say "cancelling jobs: $(tr '\n' ' ' <<<"$jobs")"
  # shellcheck disable=SC2086
  scancel $jobs 2>/dev/null
  while [ -n "$(squeue -h -o '%A' 2>/dev/null)" ] && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.5; done
}

stop_all() {
  cancel_jobs
  stop_daemon slurmd
  stop_daemon slurmctld
  stop_daemon munged
}

status() {
  local name all=0
  for name in munged slurmctld slurmd; do
    if running "$name"; then
      say "$name running ($(recorded_pid "$name"))"
    else
      say "$name not running"
      all=3
    fi
  done
  if running slurmctld; then
    sinfo
    squeue
  fi
  return "$all"
}

case "$action" in
  start) start ;;
  stop) stop_all ;;
  status) status ;;
esac
