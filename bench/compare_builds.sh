#!/usr/bin/env bash
# Same bits, side by side: builds git revision REV beside the working tree,
# runs its zorv_mpi and this tree's on the same data in one run, compares
# every output file byte for byte, and prints the time ratio.
#
#   bench/compare_builds.sh [REV [EVENTS [ROUNDS]]]    (default: 2dad6bf, 2000, 3)
#
# Data sets, each a calibration and a processing session of EVENTS events:
#   synth  the first EVENTS events of zorv_gen's synth-1.zvx and synth-1.sgl
#          (the zorv_gen of both builds runs, and its files must be equal too);
#   mixed  bench/make_mixed's files: two pulses, close pulses, early pulses,
#          empty channels, three pulses, high baselines, late narrow pulses.
# Each build runs ROUNDS times per data set, alternating, as 2 ranks (rank 0
# and one worker, so that results arrive in event order) with the example
# kernel and settings. This tree also runs once at every narrower vector width
# the CPU has (ZORV_SIMD). Compared: the result files, decay lists, decay
# histograms, fit.txt and the console output without its clock and progress
# lines. Times: wall time of the whole mpiexec (events/s), and the CPU times
# of rank 0 and of the worker, which other work on a shared machine disturbs
# less; the ratios are of medians. Exits non-zero if any byte differs.
#
# The revision is built into build-compare/REV (kept for the next run), this
# tree into build/.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
rev="${1:-2dad6bf}"
events="${2:-2000}"
rounds="${3:-3}"

# --- builds -----------------------------------------------------------------
hash=$(git -C "$top" rev-parse --short "$rev^{commit}")
old_build="$top/build-compare/$hash"
if [ ! -x "$old_build/done" ]; then
  echo "Building $rev ($hash) in $old_build"
  rm -rf "$old_build"
  mkdir -p "$old_build/src"
  git -C "$top" archive "$hash" | tar -x -C "$old_build/src"
  { cmake -S "$old_build/src" -B "$old_build/build" -DCMAKE_BUILD_TYPE=Release \
      -DZORV_BUILD_TESTS=OFF -DZORV_BUILD_BENCH=OFF &&
    cmake --build "$old_build/build" -j 2 --target zorv_mpi zorv_gen; } > "$old_build/build.log" 2>&1 ||
    { tail -30 "$old_build/build.log"; exit 1; }
  printf '#!/bin/sh\n' > "$old_build/done" && chmod +x "$old_build/done"
fi
echo "Building this tree in $top/build"
{ [ -f "$top/build/CMakeCache.txt" ] || cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=Release; } > /dev/null
cmake --build "$top/build" -j 2 --target zorv_mpi zorv_gen make_mixed > /dev/null
old_mpi=$(find "$old_build/build" -name zorv_mpi -type f -perm -u+x | head -1)
old_gen=$(find "$old_build/build" -name zorv_gen -type f -perm -u+x | head -1)
new_mpi="$top/build/mpi/zorv_mpi"
new_gen="$top/build/generator/zorv_gen"

tmp=$(mktemp -d /tmp/zorv_compare_XXXXXX)
trap '[ -n "${ZORV_COMPARE_KEEP:-}" ] || rm -rf "$tmp"' EXIT
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_mpi_yield_when_idle=1
failed=0

# --- data -------------------------------------------------------------------
mkdir -p "$tmp/gen-old" "$tmp/gen-new" "$tmp/data"
(cd "$tmp/gen-old" && "$old_gen" > stdout.txt)
(cd "$tmp/gen-new" && "$new_gen" > stdout.txt)
for f in stdout.txt synth-1.zvx synth-1.sgl zorv_gen_test.txt zorv_gen_example.txt; do
  if ! cmp -s "$tmp/gen-old/$f" "$tmp/gen-new/$f"; then
    echo "DIFFERENT: zorv_gen $f"
    failed=1
  fi
done
[ "$failed" -eq 0 ] && echo "zorv_gen: stdout and all four files identical"
bytes=$((12 + 10000 * events))
head -c "$bytes" "$tmp/gen-new/synth-1.zvx" > "$tmp/data/synth.1"
head -c "$bytes" "$tmp/gen-new/synth-1.sgl" > "$tmp/data/synth.2"
rm -rf "$tmp/gen-old" "$tmp/gen-new"
"$top/build/bench/make_mixed" "$events" 1 "$tmp/data/mixed.1"
"$top/build/bench/make_mixed" "$events" 2 "$tmp/data/mixed.2"

# --- runs -------------------------------------------------------------------
outputs=(ab0.bin ab1.bin decay0.txt decay1.txt decay_hist0.txt decay_hist1.txt fit.txt console.txt)

# run DIR EXE SET [ZORV_SIMD]: one run in a fresh DIR; prints the wall
# seconds, then the CPU seconds of rank 0 and of the worker.
run() {
  local dir=$1 exe=$2 set=$3 simd=${4:-}
  mkdir -p "$dir"
  ln -s "$tmp/data/$set.1" "$dir/$set.1"
  ln -s "$tmp/data/$set.2" "$dir/$set.2"
  cp "$top/examples/win.txt" "$dir/"
  # Keys that an older revision does not know yet are left at their defaults.
  sed -e "s/^infile_path = \"synth\"/infile_path = \"$set\"/" \
      -e "s/^waveforms = 10000 /waveforms = $events /" \
      -e "/^resume = /d" -e "/^checkpoint_interval = /d" "$top/examples/zorv_mpi.ini" > "$dir/zorv_mpi.ini"
  local t0 t1
  t0=$(date +%s.%N)
  (cd "$dir" && env ${simd:+ZORV_SIMD=$simd} mpiexec --oversubscribe \
     -n 1 /usr/bin/time -f "%U %S" -o rank0.cpu "$exe" : \
     -n 1 /usr/bin/time -f "%U %S" -o rank1.cpu "$exe" > stdout.txt 2> stderr.txt) ||
    echo "  (exit status $? in $dir)" >&2
  t1=$(date +%s.%N)
  # The console without its clock (start and end dates, progress lines);
  # "Window length" comes from every rank, in whatever order the ranks'
  # lines meet, and is compared by its lines, sorted, at the end.
  tr '\r' '\n' < "$dir/stdout.txt" > "$dir/lines.txt"
  { grep -Ev '^Done: |^Window length|^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}$' "$dir/lines.txt"
    grep '^Window length' "$dir/lines.txt" | sort; } > "$dir/console.txt" || true
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f ", b - a }'
  tail -qn1 "$dir/rank0.cpu" "$dir/rank1.cpu" | awk '{ printf " %.2f", $1 + $2 } END { print "" }'
}

# same DIR REF: cmp every output; prints the names that differ.
same() {
  local f bad=""
  for f in "${outputs[@]}"; do
    cmp -s "$1/$f" "$2/$f" || bad="$bad $f"
  done
  echo "$bad"
}

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# The narrower vector units this CPU has besides its widest.
narrower=()
grep -qw avx512f /proc/cpuinfo && narrower+=(avx2)
grep -qw avx2 /proc/cpuinfo && narrower+=(sse2)

echo "zorv_mpi, 2 ranks (rank 0 and one worker) on $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
for set in synth mixed; do
  old_t=() new_t=() old_c0=() new_c0=() old_c1=() new_c1=()
  for r in $(seq "$rounds"); do
    read -r t c0 c1 < <(run "$tmp/$set-old-$r" "$old_mpi" "$set")
    old_t+=("$t") old_c0+=("$c0") old_c1+=("$c1")
    read -r t c0 c1 < <(run "$tmp/$set-new-$r" "$new_mpi" "$set")
    new_t+=("$t") new_c0+=("$c0") new_c1+=("$c1")
  done
  for simd in "${narrower[@]}"; do run "$tmp/$set-new-$simd" "$new_mpi" "$set" "$simd" > /dev/null; done
  ref="$tmp/$set-old-1"
  diffs=0
  for dir in "$tmp/$set"-*; do
    bad=$(same "$ref" "$dir")
    if [ -n "$bad" ]; then
      echo "DIFFERENT: $(basename "$dir") against $(basename "$ref"):$bad"
      diffs=1
    fi
  done
  [ "$diffs" -eq 0 ] || failed=1
  n=$(ls -d "$tmp/$set"-* | wc -l)
  mo=$(median "${old_t[@]}") mn=$(median "${new_t[@]}")
  echo "$set: $events + $events events; $(grep -E '^Good waveforms' "$ref/console.txt" | tail -1)"
  wo=$(median "${old_c1[@]}") wn=$(median "${new_c1[@]}")
  echo "  $rev: ${old_t[*]} s, median $mo s, $(awk -v t="$mo" -v e="$events" 'BEGIN { printf "%.0f", 2 * e / t }') events/s;" \
       "CPU rank 0 $(median "${old_c0[@]}") s, worker $wo s (medians)"
  echo "  this tree: ${new_t[*]} s, median $mn s, $(awk -v t="$mn" -v e="$events" 'BEGIN { printf "%.0f", 2 * e / t }') events/s;" \
       "CPU rank 0 $(median "${new_c0[@]}") s, worker $wn s (medians)"
  echo "  speed-up, this tree / $rev: events/s $(awk -v a="$mo" -v b="$mn" 'BEGIN { printf "%.2f", a / b }')," \
       "worker CPU $(awk -v a="$wo" -v b="$wn" 'BEGIN { printf "%.2f", a / b }')"
  if [ "$diffs" -eq 0 ]; then
    echo "  identical in all $n runs${narrower[*]:+ (this tree also with ZORV_SIMD=${narrower[*]})}: ${outputs[*]}"
  fi
done
if [ "$failed" -ne 0 ]; then
  echo "Outputs differ."
  exit 1
fi
echo "Every output byte identical."
