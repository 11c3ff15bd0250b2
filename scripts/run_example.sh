#!/usr/bin/env bash
# The main job on built-in example data: builds everything, makes synthetic
# raw files with zorv_gen in work/ (kept for the next run when complete),
# turns them into sessions 1 and 2, runs zorv_mpi with the example
# settings, one worker per core, and writes the run's report, a web page in
# work/report/.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
echo "Building zorv (a first build takes about 4 minutes on two cores; later ones only what changed)"
./scripts/build.sh

work="${ZORV_WORK:-$top/work}"
mkdir -p "$work"
cd "$work"

# A complete raw file is never written again, not even with the same bytes:
# a checkpoint records the size and modification time of the raw files it
# read and refuses to resume when they change. A raw file may be a link to
# data kept elsewhere; its size is that of the file linked to (stat -L).
size=100000012  # 12-byte header + 10,000 events of 10,000 bytes
complete() { [ -f "$1" ] && [ "$(stat -L -c %s "$1")" -eq "$size" ]; }
if complete synth-1.zvx && complete synth-1.sgl; then
  echo "Reusing synth-1.zvx and synth-1.sgl in $work"
else
  # zorv_gen writes all four of its files at once, so it runs in a folder of
  # its own; only the raw files that are missing or short are moved into
  # place (a rename: a link there is replaced, not written through).
  echo "Generating synthetic raw files in $work (about 2 s)"
  gen=$(mktemp -d "$work/zorv_gen.XXXXXX")
  (cd "$gen" && "$top/build/generator/zorv_gen") || { rm -rf "$gen"; exit 1; }
  for f in synth-1.zvx synth-1.sgl; do
    if complete "$f"; then echo "  keeping the complete $f"; else mv -fT "$gen/$f" "$f"; fi
  done
  mv -f "$gen/zorv_gen_test.txt" "$gen/zorv_gen_example.txt" .
  rm -rf "$gen"
fi

# Raw files are named "<infile_path>.<session>".
ln -sf synth-1.zvx synth.1
ln -sf synth-1.sgl synth.2
cp "$top/examples/zorv_mpi.ini" "$top/examples/win.txt" .

export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
# Waiting ranks yield the core instead of spinning in Open MPI's progress
# loop: with one worker per core plus rank 0, spinning ranks would starve the
# ones that fit.
export OMPI_MCA_mpi_yield_when_idle=1
ranks=$(( $(nproc) + 1 ))  # rank 0 only moves data: one worker per core
set +e
mpiexec --oversubscribe -n "$ranks" "$top/build/mpi/zorv_mpi" | tee zorv_mpi.log
status=${PIPESTATUS[0]}
set -e

echo
echo "Results in $work (console log in zorv_mpi.log):"
for c in 0 1; do
  [ -f "ab$c.bin" ] || continue
  records=$(( $(stat -c %s "ab$c.bin") / 72 ))
  echo "  ab$c.bin: $records records of 9 doubles (channel $c, processing phase)"
  echo "  decay$c.txt: $(wc -l < "decay$c.txt") decay rates; decay_hist$c.txt: calibration histogram"
  if [ -f "ab$c.err.bin" ]; then
    echo "  ab$c.err.bin: $(( $(stat -c %s "ab$c.err.bin") / 72 )) records of the fit's iterations and standard errors"
  fi
done
[ -f events.txt ] && echo "  events.txt: the raw event of each record ($(wc -l < events.txt) lines)"
[ -f zorv_mpi.summary.json ] &&
  echo "  zorv_mpi.summary.json: the run's account, status $(sed -n 's/^  "status": "\(.*\)",$/\1/p' zorv_mpi.summary.json)"
tr '\r' '\n' < zorv_mpi.log | grep -E "^Channel [01] decay: .*\((parabolic|maximum kept)" | sed 's/^/  calibrated: /' || true
tr '\r' '\n' < zorv_mpi.log | grep -E "^Good waveforms:" | tail -1 | sed 's/^/  processing phase: /' || true

# The report: calibration, spectra, example events with their fits. Debian's
# Python has numpy and matplotlib.
if [ -f ab0.bin ] && [ -f ab1.bin ]; then
  echo
  echo "Writing the report (python3 -m zorv.report, about 10 s)"
  if report=$(PYTHONPATH="$top/python" "${PYTHON:-/usr/bin/python3}" -m zorv.report "$work"); then
    echo "Report: $report"
  else
    echo "Error: the report could not be written"
    [ "$status" -ne 0 ] || status=1
  fi
fi
exit "$status"
