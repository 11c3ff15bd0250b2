#!/usr/bin/env bash
# Throughput of the master loop and message protocol alone: zorv_mpi on
# quiet events (all samples 0, no peaks, a one-tap kernel), so that workers
# answer at once and the master's reading, sending, receiving and bookkeeping
# is what is timed. With one worker (2 ranks) every event waits for the
# master to notice the previous result, so the rate shows the latency of the
# master's wait; the CPU time of rank 0 shows what the wait costs.
#
#   bench/bench_master.sh [events_per_file] [ranks...]
#
# ZORV_MPI: the zorv_mpi to time (default build/mpi/zorv_mpi).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
exe="${ZORV_MPI:-$top/build/mpi/zorv_mpi}"
[ -x "$exe" ] || { echo "build first: ./scripts/build.sh"; exit 1; }
events=${1:-5000}
shift || true
ranks=("${@:-2 3}")

dir=$(mktemp -d /tmp/zorv_bench_master_XXXXXX)
trap '[ -n "${ZORV_BENCH_KEEP:-}" ] || rm -rf "$dir"' EXIT
cd "$dir"
head -c $((12 + 10000 * events)) /dev/zero > raw.1
for s in 2 3 4 5; do ln -s raw.1 raw.$s; done
echo "0 1" > win.txt
cat > zorv_mpi.ini <<INI
infile_path = "raw"
abfile_path = "ab"
waveforms = $events
data_offset = 12
hist_overflow = 0.05
refresh_interval = 1000
cal_sessions = 1 1
sessions = 2 5
decay_est = -0.0015 -0.0015
bcg_est = 0 0
INI

export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_mpi_yield_when_idle=1
total=$((5 * events))
for n in ${ranks[@]}; do
  t0=$(date +%s.%N)
  # Rank 0 runs under time(1) for its CPU time. Quiet events give nothing to
  # calibrate on, so zorv_mpi ends non-zero by design; the shell around rank 0
  # ends with 0 so that mpiexec lets time(1) finish its report.
  mpiexec --oversubscribe -n 1 sh -c '/usr/bin/time -f "%U %S" -o rank0.txt "$0"; exit 0' "$exe" : \
    -n $((n - 1)) "$exe" > out.txt 2>&1 || true
  t1=$(date +%s.%N)
  rate=$(awk -v a="$t0" -v b="$t1" -v e="$total" 'BEGIN { printf "%.0f", e / (b - a) }')
  cpu=$(tail -1 rank0.txt | awk '{ printf "%.2f", $1 + $2 }')
  echo "ranks $n on $(nproc) cores: $total events in $(awk -v a="$t0" -v b="$t1" 'BEGIN{printf "%.2f", b-a}') s, $rate events/s (whole run, start-up included); rank 0 CPU $cpu s"
done
