#!/usr/bin/env bash
# Runs examples/zorv_mpi.sbatch on a real one-node Slurm cluster on this
# machine and checks that a job interrupted three times ends with the results
# of a run that was never interrupted.
#
# As root: installs Debian's slurm-wlm and munge when missing, starts munged,
# slurmctld and slurmd with a configuration, state and logs of their own in
# build/slurm-check/ (no systemd, no cgroups), and submits the job on the
# synthetic data (10,000 events per phase). While it runs it is interrupted
#   1. by `scancel --signal=USR1 --batch` in the calibration phase (the
#      batch shell forwards it to mpiexec),
#   2. by `scancel --signal=USR1 --full` in the processing phase (every
#      process of the job gets it),
#   3. by `scancel --signal=TERM --full` in the processing phase (as at the
#      time limit: mpiexec then ends with 1, and the checkpoint tells),
# and each time it must requeue itself and continue (zorv_mpi --resume). The
# results are compared with a run of the same job made directly with mpiexec,
# and its zorv_mpi.ini must be byte for byte what it was before the job.
# Then a second job is cancelled with a plain scancel: it must stop, keep its
# checkpoint and stay cancelled. A third job, a short run, has a zorv_mpi.ini
# that nothing may change (immutable, chattr +i, which stops root as well):
# it must finish as any other. The jobs and daemons are stopped at the end,
# also on failure; what an earlier run that was killed left running is
# stopped first, by its pid files. The last line says PASS or FAIL.
# About a minute on two cores, plus the packages the first time.
set -Eeuo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

say() { printf '[%4ds] %s\n' "$SECONDS" "$*"; }
reason=""
fail() { reason=$*; exit 1; }
trap 'reason=${reason:-"\"$BASH_COMMAND\" failed (line $LINENO)"}' ERR

[ "$(id -u)" -eq 0 ] || fail "slurm_check.sh starts Slurm's daemons and must run as root"

base="$top/build/slurm-check"
etc="$base/etc" munge_dir="$base/munge" state="$base/state" log="$base/log"
conf="$etc/slurm.conf"
export SLURM_CONF="$conf"

# The pid in the file, when it is still that of a daemon started with our
# directory on its command line.
ours() {
  local pid
  pid=$(cat "$1" 2>/dev/null) || return 1
  [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ] && tr '\0' ' ' < "/proc/$pid/cmdline" | grep -qF "$base" &&
    echo "$pid"
}

stop_pid_file() {
  local pid
  if pid=$(ours "$1"); then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$1"
}

# Cancels the cluster's jobs (every one is this script's) and ends the
# daemons; also what an earlier run that was killed left behind.
stop_cluster() {
  if ours "$base/slurmctld.pid" > /dev/null && squeue -h 2>/dev/null | grep -q .; then
    say "Cancelling the jobs left"
    scancel --user=root
    for _ in $(seq 60); do squeue -h 2>/dev/null | grep -q . || break; sleep 0.5; done
  fi
  stop_pid_file "$base/slurmd.pid"
  stop_pid_file "$base/slurmctld.pid"
  stop_pid_file "$munge_dir/munged.pid"
}

# The read-only job's zorv_mpi.ini is immutable: rm -rf could not remove it.
release_ini() { chattr -i "$base/readonly/zorv_mpi.ini" 2>/dev/null || true; }

cleanup() {
  local status=$?
  set +e
  say "Stopping the jobs, slurmd, slurmctld and munged"
  stop_cluster
  release_ini
  if [ "$status" -eq 0 ]; then
    say "PASS: the Slurm job, interrupted three times and requeued, has the results of an uninterrupted run and leaves zorv_mpi.ini as it was; a cancelled job stays cancelled; a job with an immutable zorv_mpi.ini finishes"
  else
    echo "Runs in $base; the last lines of the daemons' logs and of the jobs':"
    tail -n 5 "$log"/*.log 2>/dev/null
    for f in "$base"/run/zorv_mpi-*.log "$base"/cancel/zorv_mpi-*.log "$base"/readonly/zorv_mpi-*.log; do
      [ -f "$f" ] || continue
      printf '\n==> %s <==\n' "$f"
      tr '\r' '\n' < "$f" | grep -v '^Done: \|^  ' | tail -n 25
      printf -- '--- %s: ' "$(dirname "$f")/zorv_mpi.checkpoint"
      awk '$1 == "state" || $1 == "phase" || $1 == "next_event" { printf "%s ", $0 }' "$(dirname "$f")/zorv_mpi.checkpoint" 2>&1 || true
      echo
      ls -l --time-style=+%T.%N "$(dirname "$f")" | grep -v ' synth\.' || true
    done
    say "FAIL: ${reason:-exit status $status}"
  fi
  exit "$status"
}
trap cleanup EXIT

# --- Packages -----------------------------------------------------------------
missing=()
for p in slurm-wlm munge; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  say "Installing ${missing[*]}"
  # The packages would start their services; this script starts its own.
  guard=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    guard=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' > "$guard"
    chmod 755 "$guard"
  fi
  export DEBIAN_FRONTEND=noninteractive
  status=0
  { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" > /dev/null; } || status=$?
  [ -z "$guard" ] || rm -f "$guard"
  [ "$status" -eq 0 ] || fail "apt-get install ${missing[*]}"
fi

say "Building"
./scripts/build.sh

# --- A private directory, cleared of an earlier run -------------------------
stop_cluster
release_ini
rm -rf "$etc" "$munge_dir" "$state" "$log" "$base/spool" "$base/whole" "$base/run" "$base/cancel" "$base/readonly"
mkdir -p "$etc" "$munge_dir" "$state" "$log" "$base/spool" "$base/data"

# --- Data and the uninterrupted run -------------------------------------------
cd "$base/data"
size=100000012
if [ "$(stat -c %s synth-1.zvx 2>/dev/null)" != "$size" ] || [ "$(stat -c %s synth-1.sgl 2>/dev/null)" != "$size" ]; then
  say "Generating the synthetic raw files"
  "$top/build/generator/zorv_gen" > /dev/null
fi
# A checkpoint every half second, so that the check can see how far the job
# got; it does not change results. Every event of the files: a start must
# last long enough to be interrupted in it. The batch settings come from
# the example's command line, never from the file.
for d in whole run cancel readonly; do
  mkdir "$base/$d"
  ln -s "$base/data/synth-1.zvx" "$base/$d/synth.1"
  ln -s "$base/data/synth-1.sgl" "$base/$d/synth.2"
  cp "$top/examples/win.txt" "$base/$d/"
  cp "$top/examples/zorv_mpi.ini" "$base/$d/"
  printf 'checkpoint_interval = 0.5\n' >> "$base/$d/zorv_mpi.ini"
done
printf 'waveforms = 1000\n' >> "$base/readonly/zorv_mpi.ini"

ranks=$(( $(nproc) + 1 ))
say "Uninterrupted run: mpiexec -n $ranks zorv_mpi in $base/whole"
(
  cd "$base/whole"
  OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_mpi_yield_when_idle=1 \
    mpiexec --oversubscribe -n "$ranks" "$top/build/mpi/zorv_mpi" > console.txt 2> launcher.txt
) || fail "the uninterrupted run failed (see $base/whole/console.txt)"

# --- The cluster ---------------------------------------------------------------
host=$(hostname -s)
say "Starting munged, slurmctld and slurmd (node $host)"
chmod 755 "$munge_dir"
mungekey --create --keyfile="$munge_dir/munge.key"
munged --force --socket="$munge_dir/munge.socket" --key-file="$munge_dir/munge.key" \
  --pid-file="$munge_dir/munged.pid" --log-file="$log/munged.log" --seed-file="$munge_dir/munged.seed"

# The node as slurmd finds it: CPUs, sockets, cores, threads, memory.
node=$(slurmd -C | head -n 1)
case "$node" in NodeName=*) ;; *) fail "slurmd -C says: $node" ;; esac
cat > "$conf" <<EOF
# A one-node cluster for scripts/slurm_check.sh, root only, no cgroups.
ClusterName=zorvcheck
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=16817
SlurmdPort=16818
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
# Our own munged; a requeued job may start again cred_expire + 1 s after
# the requeue (120 by default).
AuthInfo=socket=$munge_dir/munge.socket,cred_expire=5
StateSaveLocation=$state
SlurmdSpoolDir=$base/spool
SlurmctldPidFile=$base/slurmctld.pid
SlurmdPidFile=$base/slurmd.pid
SlurmctldLogFile=$log/slurmctld.log
SlurmdLogFile=$log/slurmd.log
MailProg=/bin/true
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
MpiDefault=none
JobRequeue=1
ReturnToService=2
MinJobAge=600
# Pending jobs are looked at every other second, not every minute.
SchedulerParameters=sched_interval=2,bf_interval=2
NodeName=$host ${node#NodeName=* } NodeAddr=127.0.0.1 State=UNKNOWN
PartitionName=check Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF

slurmctld -D -f "$conf" > "$log/slurmctld.out" 2>&1 &
slurmd -D -f "$conf" -N "$host" > "$log/slurmd.out" 2>&1 &
for i in $(seq 60); do
  [ "$(sinfo -h -n "$host" -o %T 2>/dev/null)" = idle ] && break
  [ "$i" -lt 60 ] || fail "the node did not become idle: $(sinfo 2>&1)"
  sleep 1
done

# --- The jobs ------------------------------------------------------------------
# The job `job` of the run directory `run`.
field() { { scontrol show job "$job" 2>/dev/null || true; } | tr ' ' '\n' | sed -n "s/^$1=//p"; }
# Its checkpoint as "<state> <phase> <next_event>".
progress() { awk '$1 == "state" || $1 == "phase" || $1 == "next_event" { printf "%s ", $2 }' "$run/zorv_mpi.checkpoint" 2>/dev/null || true; }

submit() {
  run="$base/$1"
  cd "$run"
  job=$(sbatch --parsable --nodes=1 --ntasks="$(nproc)" --time=15 --output="$run/zorv_mpi-%j.log" \
    --export="ALL,ZORV_MPI=$top/build/mpi/zorv_mpi" "$top/examples/zorv_mpi.sbatch")
  say "Submitted job $job ($(nproc) tasks) in $run"
}

# The event at which zorv_mpi of start `restarts` + 1 began in `phase`, from
# its "Resuming the <phase> phase" line (0 when it began from the start or in
# an earlier phase); nothing while that start's zorv_mpi has not begun. Until
# then the checkpoint is the previous start's, and Slurm may call the job
# RUNNING before its batch script runs, so a signal would find no one.
began_at() {
  [ -f "$run/zorv_mpi-$job.log" ] || return 0
  tr '\r' '\n' < "$run/zorv_mpi-$job.log" | awk -v want="$(($1 + 1))" -v phase="$2" '
    /^No checkpoint zorv_mpi.checkpoint/ || /^Resuming the / { n++; at = ($1 == "Resuming" && $3 == phase) ? $7 : 0 }
    END { if (n == want) print at }'
}

# Waits until start `restarts` + 1 of the job has handed out `events` events
# of `phase` itself, then calls scancel with the other arguments.
interrupt() {
  local restarts=$1 phase=$2 events=$3 p st ph ev from
  shift 3
  for i in $(seq 1200); do
    from=$(began_at "$restarts" "$phase")
    p=$(progress)
    read -r st ph ev <<< "$p"
    if [ -n "$from" ] && [ "$(field JobState)" = RUNNING ] && [ "$(field Restarts)" = "$restarts" ] &&
       [ "$st" = running ] && [ "$ph" = "$phase" ] && [ "${ev:-0}" -ge $((from + events)) ]; then
      say "  $phase phase at event $ev (this start began at $from): scancel${*:+ $*} $job"
      scancel "$@" "$job"
      return 0
    fi
    [ "$(field JobState)" != COMPLETED ] || fail "the job finished before the $phase phase reached event $events of start $((restarts + 1))"
    sleep 0.1
  done
  fail "no progress by $events events in the $phase phase in start $((restarts + 1)) (state $(field JobState), checkpoint: $p)"
}

# Waits until the job has been requeued `restarts` times.
requeued() {
  for i in $(seq 600); do
    if [ "$(field Restarts)" = "$1" ]; then
      say "  requeued (restart $1), $(field JobState)"
      return 0
    fi
    case "$(field JobState)" in COMPLETED|FAILED|CANCELLED|TIMEOUT) fail "the job ended ($(field JobState)) instead of going back to the queue" ;; esac
    sleep 0.2
  done
  fail "the job was not requeued"
}

# Waits until the job has ended; its final state in `state`.
ended() {
  for i in $(seq 900); do
    state=$(field JobState)
    case "$state" in COMPLETED|FAILED|CANCELLED|TIMEOUT|NODE_FAIL|OUT_OF_MEMORY) break ;; esac
    [ "$i" -lt 900 ] || fail "the job did not end (state $state)"
    sleep 0.2
  done
  say "Job $job: $state, exit code $(field ExitCode), $(field Restarts) restarts"
}

# Counts the lines of the job's console with `text`.
expect() {
  local count=$1 text=$2 n console="$run/zorv_mpi-$job.log"
  n=$(tr '\r' '\n' < "$console" | grep -cF -- "$text" || true)
  [ "$n" -eq "$count" ] || fail "$n instead of $count lines with '$text' in $console"
}

ini_sum=$(sha256sum < "$base/run/zorv_mpi.ini")
submit run
interrupt 0 calibration 2000 --signal=USR1 --batch
requeued 1
interrupt 1 processing 2000 --signal=USR1 --full
requeued 2
interrupt 2 processing 1500 --signal=TERM --full
requeued 3
ended
[ "$state" = COMPLETED ] && [ "$(field ExitCode)" = 0:0 ] || fail "the job did not complete with status 0"

expect 4 ": job $job start "
expect 4 "Resuming as --resume asks (resume = 1)"
expect 4 "Using events_per_message = 32 as --events-per-message asks"
expect 4 "Using worker_reads = 1 as --worker-reads asks"
expect 1 "No checkpoint zorv_mpi.checkpoint: starting from the beginning"
expect 1 "Stopped by SIGUSR1 in the calibration phase after "
expect 1 "Resuming the calibration phase from zorv_mpi.checkpoint: "
expect 1 "Stopped by SIGUSR1 in the processing phase after "
# After SIGTERM, mpiexec in a Slurm job ends before it passes on zorv_mpi's
# "Stopped by SIGTERM" line; the script's own line tells where it stopped.
expect 2 "zorv_mpi stopped (status 75) in the "
expect 1 "zorv_mpi stopped (status 1) in the processing phase after "
expect 2 "Resuming the processing phase from zorv_mpi.checkpoint: "
expect 2 "Calibration done before the interruption; decay rates from zorv_mpi.checkpoint:"
expect 3 "goes back to the queue"
expect 1 "zorv_mpi ended with status 0"
grep -qx 'state finished' "$run/zorv_mpi.checkpoint" || fail "the checkpoint is not that of a finished run"
[ "$(sha256sum < "$run/zorv_mpi.ini")" = "$ini_sum" ] || fail "the job changed $run/zorv_mpi.ini"

say "Comparing with the uninterrupted run"
"${PYTHON:-/usr/bin/python3}" "$top/scripts/compare_runs.py" "$base/whole" "$base/whole/console.txt" \
  "$run" "$run/zorv_mpi-$job.log" || fail "the results differ from the uninterrupted run's"

# A job that is cancelled stays cancelled: it stops and keeps its checkpoint,
# but does not requeue itself.
submit cancel
interrupt 0 calibration 300
ended
[ "$state" = CANCELLED ] && [ "$(field Restarts)" = 0 ] || fail "the cancelled job did not end as CANCELLED without a restart"
expect 1 "; not requeued, the job ends ("
grep -qx 'state running' "$run/zorv_mpi.checkpoint" || fail "the cancelled job left no checkpoint to continue from"

# A zorv_mpi.ini that nothing may change: the job never writes to it, so it
# runs as any other. Where chattr +i is not possible, the ini is read-only
# (which stops all but root) and the checksum shows that it was not written.
ini="$base/readonly/zorv_mpi.ini"
ini_sum=$(sha256sum < "$ini")
chattr +i "$ini" 2> /dev/null || { say "chattr +i does not work here; zorv_mpi.ini is read-only instead"; chmod a-w "$ini"; }
submit readonly
ended
[ "$state" = COMPLETED ] && [ "$(field ExitCode)" = 0:0 ] && [ "$(field Restarts)" = 0 ] ||
  fail "the job with an immutable zorv_mpi.ini did not complete with status 0"
expect 1 "zorv_mpi ended with status 0"
grep -qx 'state finished' "$run/zorv_mpi.checkpoint" || fail "the job with an immutable zorv_mpi.ini did not finish its run"
[ "$(sha256sum < "$ini")" = "$ini_sum" ] || fail "the job changed the immutable $ini"
