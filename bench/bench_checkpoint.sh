#!/usr/bin/env bash
# What checkpoints and a graceful stop cost, on the synthetic files of zorv_gen.
#
#   bench/bench_checkpoint.sh [events] [rounds]     (default: 3000 events, 5 rounds)
#
# 1. Throughput: the same job (the first N events of each synthetic file,
#    example settings, 3 ranks) with checkpoint_interval 60 (the default),
#    1 and 0.1 s, and 0 (no checkpoint at all), run in alternation, medians
#    over the rounds. The cost of one checkpoint follows from the extra time
#    at 0.1 s divided by the checkpoints written; its share at the default
#    interval is that cost divided by 60 s.
# 2. Graceful stop: SIGUSR1 and SIGTERM to mpiexec 2 s into the run; the
#    time until the stop's checkpoint is on disk (the events in flight
#    collected and written) and until mpiexec has ended, medians over the
#    rounds. Open MPI 4.1's mpiexec passes SIGTERM on to the ranks only after
#    its kill timeout (odls_base_sigkill_timeout, 1 s) and sends SIGKILL one
#    timeout later, so after SIGTERM the checkpoint lands a little over 1 s
#    after the signal. After a non-zero exit status mpiexec takes the job
#    down the same way, so it may end a second or two after the ranks are
#    done.
#
# Needs the synthetic files in work/ (./scripts/run_example.sh makes them).
set -euo pipefail
source "$(dirname "$0")/synthetic_run.sh"
events=${1:-3000}
rounds=${2:-5}

settings() {
  sed "s/^waveforms = 10000 /waveforms = $events /" "$top/examples/zorv_mpi.ini" > zorv_mpi.ini
  echo "checkpoint_interval = $1" >> zorv_mpi.ini
}
now() { date +%s.%N; }
median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }

intervals=(60 1 0.1 0)
declare -A times
for ((r = 1; r <= rounds; ++r)); do
  for ci in "${intervals[@]}"; do
    settings "$ci"
    start=$(now)
    mpiexec --oversubscribe -n 3 "$exe" > /dev/null
    times[$ci]+="$(awk -v a="$start" -v b="$(now)" 'BEGIN{print b-a}') "
  done
done
echo "ranks 3 on $(nproc) cores, $((2 * events)) events, $rounds rounds (median wall time):"
for ci in "${intervals[@]}"; do
  m=$(echo "${times[$ci]}" | tr ' ' '\n' | grep . | median)
  echo "  checkpoint_interval $ci s: $m s, $(awk -v m="$m" -v e=$((2 * events)) 'BEGIN{printf "%.0f", e/m}') events/s"
  eval "median_$(echo "$ci" | tr . _)=$m"
done
awk -v t60="$median_60" -v t01="$median_0_1" -v t0="$median_0" 'BEGIN {
  n = t01 / 0.1; per = (t01 - t60) / n
  printf "  one checkpoint: about %.1f ms (%.0f checkpoints at 0.1 s); at the default 60 s: %.3f%% of the run time\n",
         1000 * per, n, 100 * per / 60
  printf "  without checkpoints: %.3f of the time at the default 60 s\n", t0 / t60 }'

settings 60
declare -A saved ended
for ((r = 1; r <= rounds; ++r)); do
  for sig in USR1 TERM; do
    mpiexec --oversubscribe -n 3 "$exe" > out.txt 2> /dev/null &
    pid=$!
    sleep 2
    start=$(now)
    kill -"$sig" "$pid"
    wait "$pid" || true
    end=$(now)
    grep -q "Stopped by SIG$sig" out.txt || { echo "no stop line after SIG$sig"; exit 1; }
    # The stop's last checkpoint is the last file the run writes.
    saved[$sig]+="$(awk -v a="$start" -v b="$(stat -c %.9Y zorv_mpi.checkpoint)" 'BEGIN{print b-a}') "
    ended[$sig]+="$(awk -v a="$start" -v b="$end" 'BEGIN{print b-a}') "
  done
done
echo "graceful stop 2 s into the run, median of $rounds (s):"
for sig in USR1 TERM; do
  echo "  SIG$sig to mpiexec: checkpoint on disk after $(echo "${saved[$sig]}" | tr ' ' '\n' | grep . | median)," \
       "mpiexec ended after $(echo "${ended[$sig]}" | tr ' ' '\n' | grep . | median)"
done
