#!/usr/bin/env bash
# Peer benchmark: gna against scipy.optimize.least_squares ("lm") and Ceres
# Solver (Levenberg-Marquardt, dense normal Cholesky), all with analytic
# Jacobians, on the same single-pulse traces from the same start values, one
# core, one thread each, in one run.
#
#   bench/peers/run.sh [RAW_FILE [EVENTS]]
#
# RAW_FILE: a raw file as zorv_gen writes it (default: zorv_gen makes
# synth-1.zvx in a temporary folder, about 2 s). EVENTS: records read from
# it (default 200, about 360 single-pulse channels). Environment:
# ZORV_PEERS_BUILD build folder (default build-peers), ZORV_PEERS_ROUNDS
# rounds (default 3), ZORV_PEERS_SECONDS CPU seconds per fitter and round
# (default 1).
#
# Installs what is missing with apt-get (the project's own dependencies, then
# python3-numpy, python3-scipy and libceres-dev: benchmark dependencies only,
# built into their own CMake project, never into zorv_mpi), builds, makes
# the traces with the worker's functions (peer_gna prepare), then times the
# three fitters in alternating rounds and prints the report. Times are CPU
# times of the fitting thread, so programs sharing the cores disturb them
# little; the best round counts.
set -euo pipefail
top="$(cd "$(dirname "$0")/../.." && pwd)"
build="${ZORV_PEERS_BUILD:-$top/build-peers}"
rounds="${ZORV_PEERS_ROUNDS:-3}"
seconds="${ZORV_PEERS_SECONDS:-1}"
raw="${1:-}"
events="${2:-200}"

# --- dependencies -----------------------------------------------------------
"$top/scripts/install_deps.sh"
peers=(python3-numpy python3-scipy libceres-dev)
missing=()
for p in "${peers[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing the peers: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" > /dev/null
fi

# --- build ------------------------------------------------------------------
mkdir -p "$build"
if ! { cmake -S "$top/bench/peers" -B "$build" -DCMAKE_BUILD_TYPE=Release &&
       cmake --build "$build" -j 2; } > "$build/build.log" 2>&1; then
  tail -30 "$build/build.log"
  echo "build failed, see $build/build.log"
  exit 1
fi

# --- traces -----------------------------------------------------------------
tmp=$(mktemp -d /tmp/zorv_peers_XXXXXX)
trap 'rm -rf "$tmp"' EXIT
if [ -z "$raw" ]; then
  (cd "$tmp" && "$build/zorv/generator/zorv_gen" > /dev/null)
  raw="$tmp/synth-1.zvx"
fi
out="$build/run"
mkdir -p "$out"
rm -f "$out"/*.bin "$out/timings.txt"
# The estimates of the example settings, channel A and B.
read -r decay_a decay_b < <(awk '$1 == "decay_est" { print $3, $4 }' "$top/examples/zorv_mpi.ini")
read -r bcg_a bcg_b < <(awk '$1 == "bcg_est" { print $3, $4 }' "$top/examples/zorv_mpi.ini")

echo "Peer benchmark: $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)),"\
     "load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "raw file $raw, first $events events; kernel examples/win.txt;" \
     "decay_est $decay_a $decay_b, bcg_est $bcg_a $bcg_b (examples/zorv_mpi.ini)"
"$build/peer_gna" prepare "$raw" "$top/examples/win.txt" "$events" \
  "$decay_a" "$decay_b" "$bcg_a" "$bcg_b" "$out/traces.bin"

# --- fits -------------------------------------------------------------------
# One thread everywhere; numpy's BLAS without the machine's OpenBLAS core
# override (set here for old OpenBLAS builds; it would only slow a current
# one), for this command alone.
export OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 MKL_NUM_THREADS=1
export PYTHONDONTWRITEBYTECODE=1
python=/usr/bin/python3
ceres_version=$(dpkg-query -W -f='${Version}' libceres-dev 2>/dev/null || echo "?")
if [ -x "$build/peer_ceres" ]; then
  echo "Ceres $ceres_version: trust region, Levenberg-Marquardt, DENSE_NORMAL_CHOLESKY (Eigen), 1 thread"
else
  echo "Ceres Solver not found: peer_ceres was not built, Ceres is left out"
fi
echo "one process at a time, one thread each (OMP/OPENBLAS/MKL_NUM_THREADS=1), not pinned;" \
     "$rounds rounds of at least $seconds s CPU per fitter"
once=""   # the version and check lines of the peers, first round only
for r in $(seq "$rounds"); do
  echo "round $r:"
  "$build/peer_gna" fit "$out/traces.bin" "$out/gna.bin" "$out/timings.txt" "$seconds"
  env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE \
    "$python" "$top/bench/peers/peer_scipy.py" "$out/traces.bin" "$out/scipy.bin" \
    "$out/timings.txt" "$seconds" | sed "$once"
  if [ -x "$build/peer_ceres" ]; then
    "$build/peer_ceres" "$out/traces.bin" "$out/ceres.bin" "$out/timings.txt" "$seconds" |
      sed "$once"
  fi
  once='/^scipy: numpy/d; /Jacobian vs/d'
done

"$python" "$top/bench/peers/report.py" "$out/traces.bin" "$out/timings.txt" \
  "$out/gna.bin" "$out/scipy.bin" "$out/ceres.bin"
