#!/usr/bin/env bash
# End-to-end throughput of zorv_mpi on the synthetic files of zorv_gen: the
# first N events of synth-1.zvx (calibration) and of synth-1.sgl
# (processing), with the example settings, for each rank count given.
#
#   bench/bench_end_to_end.sh [events] [ranks...]     (default: 2000 events, 2 and 3 ranks)
#
# Needs the synthetic files in work/ (./scripts/run_example.sh makes them).
# Reports the events per second of the whole run and the CPU time of rank 0,
# which only reads, sends and waits. ZORV_MPI: the zorv_mpi to time (default
# build/mpi/zorv_mpi).
set -euo pipefail
source "$(dirname "$0")/synthetic_run.sh"
events=${1:-2000}
shift || true
ranks=("${@:-2 3}")

sed "s/^waveforms = 10000 /waveforms = $events /" "$top/examples/zorv_mpi.ini" > zorv_mpi.ini

for n in ${ranks[@]}; do
  start=$(date +%s.%N)
  mpiexec --oversubscribe -n 1 /usr/bin/time -f "%U %S" -o rank0.txt "$exe" : \
    -n $((n - 1)) "$exe" | tr '\r' '\n' > out.txt
  end=$(date +%s.%N)
  echo "ranks $n on $(nproc) cores: $((2 * events)) events in $(awk -v a="$start" -v b="$end" 'BEGIN{printf "%.1f", b-a}') s," \
       "$(awk -v a="$start" -v b="$end" -v e=$((2 * events)) 'BEGIN{printf "%.0f", e/(b-a)}') events/s;" \
       "rank 0 CPU $(tail -1 rank0.txt | awk '{ printf "%.2f", $1 + $2 }') s;" \
       "$(grep '^Good waveforms' out.txt)"
done
