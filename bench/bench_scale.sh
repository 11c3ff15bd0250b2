#!/usr/bin/env bash
# How many workers one master feeds: zorv_mpi on quiet events (all samples 0,
# a one-tap kernel, no peaks), so that workers answer at once and rank 0's
# own cost per event is what is measured. Three ways of handing out work:
#   default       one event per message, samples sent by rank 0
#   batch32       events_per_message = 32, samples sent by rank 0
#   batch32+read  events_per_message = 32, worker_reads = 1 (numbers sent)
# over shared memory and over TCP (OMPI_MCA_btl=self,tcp, the transport of a
# cluster without RDMA), with 3, 5, 9 and 17 ranks (oversubscribed).
#
#   bench/bench_scale.sh [rounds] [ranks...]      (default: 3 rounds; 3 5 9 17)
#
# The runs write checkpoints only where a phase starts and ends (a build that
# predates checkpoint_interval = 0 would take 0 for "after every result").
# Each case runs twice per round, with a small and a four times larger phase,
# and the differences of the two runs give the steady state without the
# start-up: events/s = extra events / extra wall time, and rank 0's CPU time
# per event = extra CPU time of rank 0 / extra events. Rounds alternate the
# cases; the table gives medians. The ceiling is 1e6 / (rank 0 CPU per event)
# events/s: what rank 0 could hand out if it did nothing else.
#
# Then, when zorv_gen's synthetic files are in work/ (./scripts/run_example.sh
# makes them), the real job: the first 2,000 events of each synthetic file
# with the example settings, one and two workers, one event per message
# against 32 (samples, and numbers with worker_reads), rounds alternating,
# median wall times.
#
# ZORV_MPI: the zorv_mpi to time (default build/mpi/zorv_mpi); ZORV_BENCH_MODES:
# the ways of handing out work to time (default "default batch32 batch32+read";
# "default" alone for a build that knows neither key).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
exe="${ZORV_MPI:-$top/build/mpi/zorv_mpi}"
[ -x "$exe" ] || { echo "build first: ./scripts/build.sh"; exit 1; }
exe="$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")"  # the runs happen elsewhere
rounds=${1:-3}
shift || true
ranks=("${@:-3 5 9 17}")
ranks=(${ranks[@]})

dir=$(mktemp -d /tmp/zorv_bench_scale_XXXXXX)
trap '[ -n "${ZORV_BENCH_KEEP:-}" ] || rm -rf "$dir"' EXIT
cd "$dir"
echo "0 1" > win.txt
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_mpi_yield_when_idle=1

# Events per session of the small run (the large one has four times as many),
# per mode: enough for the larger run to last a second or two.
declare -A small=([default]=2000 [batch32]=10000 [batch32+read]=20000)
declare -A keys=([default]="" [batch32]="events_per_message = 32"
                 [batch32+read]=$'events_per_message = 32\nworker_reads = 1')
read -r -a modes <<< "${ZORV_BENCH_MODES:-default batch32 batch32+read}"
largest=$((4 * 20000))
head -c $((12 + 10000 * largest)) /dev/zero > raw.1
for s in 2 3 4 5; do ln -sf raw.1 raw.$s; done

settings() {  # mode, events per session
  cat > zorv_mpi.ini <<INI
infile_path = "raw"
abfile_path = "ab"
waveforms = $2
data_offset = 12
hist_overflow = 0.05
refresh_interval = 1000
cal_sessions = 1 1
sessions = 2 5
decay_est = -0.0015 -0.0015
bcg_est = 0 0
checkpoint_interval = 1000000
${keys[$1]}
INI
}

# run TRANSPORT MODE RANKS EVENTS: prints "wall_seconds rank0_cpu_seconds".
run() {
  local btl=() t0 t1
  [ "$1" = tcp ] && btl=(env OMPI_MCA_btl=self,tcp)
  settings "$2" "$4"
  t0=$(date +%s.%N)
  # Quiet events give nothing to calibrate on, so zorv_mpi ends non-zero by
  # design; the shells around the ranks end with 0 so that mpiexec lets
  # time(1) finish its report instead of taking the job down.
  "${btl[@]}" mpiexec --oversubscribe -n 1 sh -c '/usr/bin/time -f "%U %S" -o rank0.txt "$0"; exit 0' "$exe" : \
    -n $(($3 - 1)) sh -c '"$0"; exit 0' "$exe" > out.txt 2>&1 || true
  t1=$(date +%s.%N)
  grep -q "^Good waveforms" out.txt || { echo "run failed: $*" >&2; cat out.txt >&2; exit 1; }
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f ", b - a }'
  tail -1 rank0.txt | awk '{ printf "%.3f\n", $1 + $2 }'
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

declare -A rate cpu
for ((r = 1; r <= rounds; ++r)); do
  for transport in shm tcp; do
    for n in "${ranks[@]}"; do
      for mode in "${modes[@]}"; do
        e=${small[$mode]}
        read -r w1 c1 < <(run "$transport" "$mode" "$n" "$e")
        read -r w4 c4 < <(run "$transport" "$mode" "$n" $((4 * e)))
        extra=$((5 * 3 * e))  # five sessions, three times the small run's events
        key="$transport $n $mode"
        rate[$key]+="$(awk -v a="$w1" -v b="$w4" -v e="$extra" 'BEGIN { printf "%.0f", e / (b - a) }') "
        cpu[$key]+="$(awk -v a="$c1" -v b="$c4" -v e="$extra" 'BEGIN { printf "%.3f", 1e6 * (b - a) / e }') "
      done
    done
  done
done

echo "zorv_mpi on quiet events, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), medians of $rounds rounds"
printf '%-4s %5s  %-13s %12s %18s %14s\n' transport ranks mode "events/s" "rank 0 us/event" "ceiling ev/s"
for transport in shm tcp; do
  for n in "${ranks[@]}"; do
    for mode in "${modes[@]}"; do
      key="$transport $n $mode"
      er=$(median ${rate[$key]})
      us=$(median ${cpu[$key]})
      ceiling=$(awk -v u="$us" 'BEGIN { if (u > 0) printf "%.0f", 1e6 / u; else print "-" }')
      printf '%-4s %5d  %-13s %12s %18s %14s\n' "$transport" "$n" "$mode" "$er" "$us" "$ceiling"
    done
  done
done

# --- the real job -------------------------------------------------------------
work="${ZORV_WORK:-$top/work}"
[ -f "$work/synth-1.zvx" ] && [ -f "$work/synth-1.sgl" ] || exit 0
real=2000
rm -f raw.* ab*.bin decay*.txt
ln -s "$work/synth-1.zvx" synth.1
ln -s "$work/synth-1.sgl" synth.2
cp "$top/examples/win.txt" .
declare -A wall
for ((r = 1; r <= rounds; ++r)); do
  for n in 2 3; do
    for mode in "${modes[@]}"; do
      sed -e "s/^waveforms = 10000 /waveforms = $real /" -e "/^resume = /d" \
          "$top/examples/zorv_mpi.ini" > zorv_mpi.ini
      [ -n "${keys[$mode]}" ] && printf '%s\n' "${keys[$mode]}" >> zorv_mpi.ini
      t0=$(date +%s.%N)
      mpiexec --oversubscribe -n "$n" "$exe" > out.txt 2>&1 || { cat out.txt; exit 1; }
      t1=$(date +%s.%N)
      wall["$n $mode"]+="$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }') "
    done
  done
done
echo
echo "the real job: $((2 * real)) events of the synthetic files, medians of $rounds rounds (whole runs)"
printf '%5s  %-13s %10s %10s\n' ranks mode "seconds" "events/s"
for n in 2 3; do
  for mode in "${modes[@]}"; do
    m=$(median ${wall["$n $mode"]})
    printf '%5d  %-13s %10s %10.0f\n' "$n" "$mode" "$m" "$(awk -v t="$m" -v e=$((2 * real)) 'BEGIN { print e / t }')"
  done
done
