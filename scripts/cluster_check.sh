#!/usr/bin/env bash
# Runs zorv_mpi on a cluster of three simulated nodes on this one machine and
# checks that it gives the records of a one-node run, also when a whole node
# dies in the middle of the run.
#
# The nodes nodeA, nodeB and nodeC are made the way Open MPI reaches real
# ones: mpiexec --host nodeA:2,nodeB:2,nodeC:2 starts its
# daemon (orted) on each through a remote shell, here a stand-in for ssh
# (build/cluster-check/rsh) that runs the daemon in a UTS namespace of its
# own, named after the node (unshare --uts, hostname), in a session of its
# own and with a clean environment, as a remote login would: what the ranks
# need must come through Open MPI itself. The names need not resolve: the stand-in gets the name,
# and the daemons and ranks reach each other by the addresses Open MPI passes
# (TCP on the loopback interface, no shared memory). The run folders are
# shared, as on a cluster's file system.
#
#   1. each rank runs on its node (hostname under mpiexec);
#   2. zorv_mpi the default way (rank 0 reads and sends every event);
#   3. zorv_mpi with 8 events per message and worker_reads = 1;
#   4. examples/zorv_mpi.sbatch, started as Slurm would start it on the three
#      nodes (a hostfile as the allocation; every start runs zorv_mpi
#      --resume with 32 events per message and worker_reads = 1, as the
#      example does), and in the processing phase nodeC
#      dies: its daemon and ranks, every process the stand-in started in
#      that node, are stopped and killed at once (SIGKILL). The job must end
#      by itself within a minute with a status other than 0, leave nothing
#      running on nodeA and nodeB, a checkpoint and a summary of an
#      unfinished run, and say that submitting it again continues the run;
#      submitted again on nodeA and nodeB it must end with status 0 and the
#      records of an uninterrupted run.
# Runs 2 to 4 are compared with one zorv_mpi run on this machine as it is
# (scripts/compare_runs.py: the events with their lines of events.txt, as a
# multiset since workers answer in any order; decay histograms, calibrated
# decay rates, summary line), and each run's summary must name the hosts of
# its ranks. As root (the namespaces); about a minute on two cores. The
# processes it started are stopped at the end, also on failure, and those an
# earlier run that was killed left behind are stopped first. Every check
# prints a PASS or FAIL line; the status is 1 after any failure.
set -Eeuo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

say() { printf '[%4ds] %s\n' "$SECONDS" "$*"; }
reason=""
fail() { reason=$*; exit 1; }
pass() { say "PASS: $*"; }
trap 'reason=${reason:-"\"$BASH_COMMAND\" failed (line $LINENO)"}' ERR

[ "$(id -u)" -eq 0 ] || fail "cluster_check.sh makes UTS namespaces for its nodes and must run as root"
command -v unshare > /dev/null || fail "unshare is missing (Debian package util-linux)"

base="$top/build/cluster-check"
nodes="$base/nodes"
zorv_mpi="$top/build/mpi/zorv_mpi"
python=${PYTHON:-/usr/bin/python3}
# Two ranks on each node, whatever the machine: the check is about the
# records, not the speed.
per_node=2
# Enough events that the processing phase lasts some seconds on two cores.
waveforms=6000

export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_rmaps_base_oversubscribe=1 \
  OMPI_MCA_mpi_yield_when_idle=1
# Every process this check starts carries this entry in its environment; the
# nodes pass it on to their daemons and ranks themselves. Processes are only
# ever stopped when they carry it.
mark="ZORV_CLUSTER_CHECK=$base"
export "$mark"

# --- Stopping what this check started ------------------------------------------
carries() { grep -qzxF -- "$2" "/proc/$1/environ" 2>/dev/null; }
own_uts=$(stat -L -c %i /proc/self/ns/uts)

# The processes of a node. nodes/<node>.started has a line "<pid> <UTS
# namespace>" for each time the stand-in started the node, written from
# inside it; everything started there carries ZORV_CLUSTER_NODE=<node> <pid>
# in its environment (namespace numbers are used again: one can come back
# for another node). The mark is checked as well, and that the process is in
# a namespace other than this script's. One look at /proc: a node must die
# at once, not one process at a time.
node_pids() {
  local pid ns p
  [ -f "$nodes/$1.started" ] || return 0
  declare -A start=()
  while read -r pid ns; do
    [ "$ns" = "$own_uts" ] || start[$ns]+=" $pid"
  done < "$nodes/$1.started"
  while read -r ns p; do
    [ -n "${start[$ns]:-}" ] || continue
    p=${p#/proc/}
    p=${p%/ns/uts}
    carries "$p" "$mark" || continue
    for pid in ${start[$ns]}; do
      if carries "$p" "ZORV_CLUSTER_NODE=$1 $pid"; then echo "$p"; break; fi
    done
  done < <(stat -L -c '%i %n' /proc/[0-9]*/ns/uts 2>/dev/null)
  return 0
}

# kill_node NODE [PIDS]: a whole node dies at once (PIDS: its processes, when
# known). They are stopped first, then killed, so that none of them sees
# another go.
kill_node() {
  local pids=${2:-$(node_pids "$1")} p
  [ -n "$pids" ] || return 0
  kill -STOP $pids 2>/dev/null || true
  kill -KILL $pids 2>/dev/null || true
  for _ in $(seq 50); do
    for p in $pids; do [ ! -d "/proc/$p" ] || [ "$(awk '{ print $3 }' "/proc/$p/stat" 2>/dev/null)" = Z ] || continue 2; done
    return 0
  done
  echo "processes of $1 still there: $(echo $pids)"
  return 1
}

# A run (mpiexec, or the batch script and its mpiexec) is a session and
# process group of its own; its pid is kept in run.pid.
stop_run() {
  local pid
  pid=$(cat "$base/run.pid" 2>/dev/null) || return 0
  if [ -n "$pid" ] && carries "$pid" "$mark"; then
    kill -TERM -- "-$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL -- "-$pid" 2>/dev/null || true
  fi
  rm -f "$base/run.pid"
}

stop_all() {
  stop_run
  for node in nodeA nodeB nodeC; do kill_node "$node" || true; done
}

cleanup() {
  local status=$?
  set +e
  stop_all
  if [ "$status" -eq 0 ]; then
    say "PASS: on three nodes zorv_mpi gives the records of a one-node run, the default way and in batches read by the workers; a run that loses a node ends by itself and, resumed on two nodes, ends with the records of an uninterrupted run"
  else
    for f in "$base"/*/console.txt "$base"/*/console-*.txt "$base"/*/launcher*.txt; do
      [ -s "$f" ] || continue
      printf '\n==> %s <==\n' "$f"
      tr '\r' '\n' < "$f" | grep -v '^Done: \|^  ' | tail -n 15
    done
    say "FAIL: ${reason:-exit status $status}"
  fi
  exit "$status"
}
trap cleanup EXIT

say "Building"
./scripts/build.sh > /dev/null

# --- The cluster -----------------------------------------------------------------
[ -d "$base" ] && stop_all
rm -rf "$nodes" "$base"/{hostname,reference,default,batches,killed}
mkdir -p "$nodes" "$base/data"

# The stand-in for ssh, called by mpiexec as `rsh [options] NODE COMMAND...`,
# like ssh: the command line of a remote shell, run on the node until it ends.
cat > "$base/rsh" <<EOF
#!/bin/sh
# Written by scripts/cluster_check.sh: runs COMMAND on the simulated NODE.
while [ \$# -gt 0 ]; do case \$1 in -*) shift ;; *) break ;; esac; done
node=\$1
shift
setsid unshare --uts -- sh '$base/node.sh' "\$node" "\$@" < /dev/null &
wait \$!
EOF
# Inside the node's namespace: takes the node's name, notes its pid and
# namespace, and runs the command in the environment of a fresh login.
cat > "$base/node.sh" <<EOF
# Written by scripts/cluster_check.sh: node.sh NODE COMMAND...
node=\$1
# The node's own process carries its mark as well: started again with it.
[ -n "\$ZORV_CLUSTER_NODE" ] || exec env ZORV_CLUSTER_NODE="\$node \$\$" sh "\$0" "\$@"
shift
hostname "\$node" || exit 255
echo "\$\$ \$(stat -L -c %i /proc/self/ns/uts)" >> '$nodes'/"\$node.started"
cd
env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME="\$HOME" '$mark' \
  ZORV_CLUSTER_NODE="\$ZORV_CLUSTER_NODE" sh -c "\$*"
exit \$?
EOF
chmod 755 "$base/rsh"

# mpiexec on the cluster, TCP only and over the loopback interface, which
# every node has here (on a real cluster: the nodes' network).
cluster_env=(OMPI_MCA_plm_rsh_agent="$base/rsh" OMPI_MCA_pml=ob1 OMPI_MCA_btl=self,tcp
             OMPI_MCA_btl_tcp_if_include=lo OMPI_MCA_oob_tcp_if_include=lo)

# start DIR HOSTS [mpiexec arguments]: mpiexec in the background in DIR,
# on HOSTS ("local": this machine as it is), its output in DIR/console.txt
# and DIR/launcher.txt.
start() {
  local dir=$1 hosts=$2
  shift 2
  if [ "$hosts" = local ]; then
    (cd "$dir" && exec setsid mpiexec -n "$((per_node + 1))" "$@" > console.txt 2> launcher.txt) &
  else
    local n=$(( $(tr , '\n' <<< "$hosts" | wc -l) * per_node ))
    (cd "$dir" && exec setsid env "${cluster_env[@]}" mpiexec --host "$hosts" -n "$n" --wdir "$dir" "$@" \
      > console.txt 2> launcher.txt) &
  fi
  echo $! > "$base/run.pid"
}

# start_job DIR HOSTS: examples/zorv_mpi.sbatch in DIR as Slurm would start
# it on the nodes of HOSTS, which its mpiexec finds in a hostfile (as under
# Slurm in the allocation), with one task per slot but one; its log in
# DIR/console.txt (stderr in DIR/launcher.txt).
start_job() {
  local dir=$1 hosts=$2 h n tasks=-1
  : > "$dir/hosts"
  while IFS=: read -r h n; do
    echo "$h slots=$n" >> "$dir/hosts"
    tasks=$((tasks + n))
  done < <(tr , '\n' <<< "$hosts")
  (cd "$dir" && exec setsid env "${cluster_env[@]}" OMPI_MCA_orte_default_hostfile="$dir/hosts" \
    SLURM_JOB_ID=check SLURM_NTASKS=$tasks SLURM_JOB_NODELIST="$hosts" ZORV_MPI="$zorv_mpi" \
    bash "$top/examples/zorv_mpi.sbatch" > console.txt 2> launcher.txt) &
  echo $! > "$base/run.pid"
}

# finish SECONDS: waits for the run for at most SECONDS; its status in
# `status`, 124 when it had to be stopped.
finish() {
  local pid
  pid=$(cat "$base/run.pid")
  for _ in $(seq $(($1 * 10))); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    stop_run
    wait "$pid" 2>/dev/null || true
    status=124
  else
    status=0
    wait "$pid" || status=$?
  fi
  rm -f "$base/run.pid"
}

hosts3="nodeA:$per_node,nodeB:$per_node,nodeC:$per_node"
hosts2="nodeA:$per_node,nodeB:$per_node"
# The hosts of the ranks, as Open MPI's --host lists them.
hosts_of() { tr , '\n' <<< "$1" | while IFS=: read -r h n; do for _ in $(seq "$n"); do echo "$h"; done; done; }

mkdir "$base/hostname"
start "$base/hostname" "$hosts3" hostname
finish 60
[ "$status" -eq 0 ] || fail "mpiexec hostname on $hosts3 ended with $status"
[ "$(sort "$base/hostname/console.txt")" = "$(hosts_of "$hosts3")" ] ||
  fail "the ranks on $hosts3 call their hosts: $(sort "$base/hostname/console.txt" | tr '\n' ' ')"
pass "mpiexec --host $hosts3 runs every rank on its node, under the node's name"

# --- Data and the one-node run ---------------------------------------------------
cd "$base/data"
if [ "$(stat -c %s synth-1.zvx 2>/dev/null)" != 100000012 ] || [ "$(stat -c %s synth-1.sgl 2>/dev/null)" != 100000012 ]; then
  say "Generating the synthetic raw files"
  "$top/build/generator/zorv_gen" > /dev/null
fi
cd "$top"

# run_dir NAME [ini lines]: a run folder on the synthetic files.
run_dir() {
  local d="$base/$1"
  shift
  mkdir "$d"
  ln -s "$base/data/synth-1.zvx" "$d/synth.1"
  ln -s "$base/data/synth-1.sgl" "$d/synth.2"
  cp examples/win.txt examples/zorv_mpi.ini "$d/"
  printf '%s\n' "waveforms = $waveforms" "$@" >> "$d/zorv_mpi.ini"
}

# summary DIR: "<status> <host of rank 0> <host of rank 1> ..." from the
# run summary.
summary() {
  "$python" -c 'import json, sys; s = json.load(open(sys.argv[1])); print(s["status"], *s["hosts"])' \
    "$1/zorv_mpi.summary.json" 2>/dev/null || echo "no summary"
}

# same DIR CONSOLE: the run's records are those of the one-node run.
same() {
  "$python" scripts/compare_runs.py "$base/reference" "$base/reference/console.txt" "$1" "$2"
}

run_dir reference
say "One-node run: mpiexec -n $((per_node + 1)) zorv_mpi ($waveforms events per phase)"
start "$base/reference" local "$zorv_mpi"
finish 120
[ "$status" -eq 0 ] || fail "the one-node run ended with $status"

failures=0
# check NAME SETTINGS...: a run on the three nodes, compared with the
# one-node run.
check() {
  local name=$1
  shift
  run_dir "$name" "$@"
  say "Three nodes, $name: mpiexec --host $hosts3 zorv_mpi"
  start "$base/$name" "$hosts3" "$zorv_mpi"
  finish 120
  local want="finished $(hosts_of "$hosts3" | tr '\n' ' ')"
  if [ "$status" -ne 0 ]; then
    say "FAIL: three nodes, $name: mpiexec ended with $status"
  elif [ "$(summary "$base/$name")" != "${want% }" ]; then
    say "FAIL: three nodes, $name: the run summary says '$(summary "$base/$name")', not '${want% }'"
  elif ! same "$base/$name" "$base/$name/console.txt"; then
    say "FAIL: three nodes, $name: the records differ from the one-node run's"
  else
    local settings=""
    [ $# -eq 0 ] || settings=$(printf ' (%s' "$1"; shift; printf ', %s' "$@"; echo ')')
    pass "three nodes, $name$settings: the records of the one-node run"
    return 0
  fi
  failures=$((failures + 1))
}
check default
check batches "events_per_message = 8" "worker_reads = 1"

# --- A node dies ---------------------------------------------------------------
# The batch example, started as Slurm would start it on three nodes; it
# resumes with zorv_mpi --resume and hands out work with its own batch
# settings.
run="$base/killed"
run_dir killed "checkpoint_interval = 0.2"
say "Three nodes, a node dies: examples/zorv_mpi.sbatch on $hosts3"
start_job "$run" "$hosts3"
# log_has FILE PATTERN: a line of the console or log FILE matches PATTERN
# (progress lines end in a carriage return).
log_has() { tr '\r' '\n' < "$1" | grep -q -- "$2"; }
# The checkpoint as "<state> <phase> <next_event>".
progress() { awk '$1 == "state" || $1 == "phase" || $1 == "next_event" { printf "%s%s", sep, $2; sep = " " }' "$run/zorv_mpi.checkpoint" 2>/dev/null || true; }
pid=$(cat "$base/run.pid")
for i in $(seq 1200); do
  read -r st ph ev <<< "$(progress)"
  [ "$st" = running ] && [ "$ph" = processing ] && [ "${ev:-0}" -ge $((waveforms / 4)) ] && break
  kill -0 "$pid" 2>/dev/null || fail "the run ended before the processing phase reached event $((waveforms / 4))"
  [ "$i" -lt 1200 ] || fail "the processing phase did not reach event $((waveforms / 4)) (checkpoint: $(progress))"
  sleep 0.05
done
victims=$(node_pids nodeC)
[ -n "$victims" ] || fail "no process of nodeC found to kill"
names=()
for p in $victims; do read -r name < "/proc/$p/comm" && names+=("$name") || true; done
killed_at=$SECONDS
kill_node nodeC "$victims" || fail "nodeC did not die"
say "  processing phase at event $ev: SIGKILL to every process of nodeC ($(printf '%s\n' "${names[@]}" | sort | uniq -c | awk '{ printf "%s%s %s", sep, $1, $2; sep = ", " }'))"
finish 60
took=$((SECONDS - killed_at))
cp "$run/console.txt" "$run/console-1.txt"
cp "$run/launcher.txt" "$run/launcher-1.txt"
left=$(node_pids nodeA; node_pids nodeB)
told=$(summary "$run")
if [ "$status" -eq 124 ]; then
  fail "the run that lost nodeC did not end within a minute"
elif [ "$status" -eq 0 ]; then
  fail "the run that lost nodeC ended with status 0, as if it had finished"
elif [ -n "$left" ]; then
  fail "the run that lost nodeC ended ($status), but left processes on nodeA and nodeB: $(echo $left)"
elif ! grep -qx 'state running' "$run/zorv_mpi.checkpoint"; then
  fail "the run that lost nodeC left no checkpoint to continue from: $(progress)"
elif [ "${told%% *}" = finished ]; then
  fail "the run that lost nodeC has a summary that calls it finished"
elif ! log_has "$run/console.txt" "^=== .*: zorv_mpi ended with status $status; the run is not finished, its checkpoint holds the events done: submit this script again to continue it\$"; then
  fail "the batch script's log does not say that the run can be continued"
fi
pass "the run that lost nodeC ended by itself after ${took} s with status $status, nothing left running; checkpoint: $(progress); summary: ${told%% *}"

say "Submitted again, on two nodes: examples/zorv_mpi.sbatch on $hosts2"
start_job "$run" "$hosts2"
finish 120
cat "$run/console-1.txt" "$run/console.txt" > "$run/console-all.txt"
want="finished $(hosts_of "$hosts2" | tr '\n' ' ')"
[ "$status" -eq 0 ] && log_has "$run/console.txt" '^=== .*: zorv_mpi ended with status 0$' ||
  fail "the resumed run ended with $status"
log_has "$run/console.txt" '^Resuming the processing phase from zorv_mpi.checkpoint: ' ||
  fail "the resumed run did not resume the processing phase"
[ "$(summary "$run")" = "${want% }" ] || fail "the resumed run's summary says '$(summary "$run")', not '${want% }'"
same "$run" "$run/console-all.txt" || fail "the resumed run's records differ from the one-node run's"
pass "resumed on nodeA and nodeB, the run that lost nodeC has the records of an uninterrupted run"

[ "$failures" -eq 0 ] || fail "$failures of the runs on three nodes failed"
