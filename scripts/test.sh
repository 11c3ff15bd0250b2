#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit tests and
# the MPI runs of zorv_mpi under mpiexec (CTest), then the Python package's
# tests (pytest), then the report they made in headless Chromium.
set -euo pipefail
cd "$(dirname "$0")/.."
# Warnings are errors here, so that none can come back unnoticed.
./scripts/build.sh -DZORV_WERROR=ON
# Open MPI refuses to start as root unless told, and by default refuses more
# ranks than cores; the tests need both.
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
export OMPI_MCA_rmaps_base_oversubscribe=1 OMPI_MCA_mpi_yield_when_idle=1
ctest --test-dir build --output-on-failure -j 2

# Debian's Python, which has numpy and matplotlib (a python3 earlier on PATH
# may be another one). The report test keeps its small run in
# build/python-run for the browser check.
python=${PYTHON:-/usr/bin/python3}
run_dir=build/python-run
ZORV_TEST_RUN_DIR=$run_dir PYTHONDONTWRITEBYTECODE=1 \
  "$python" -m pytest -q -p no:cacheprovider python/tests
"$python" scripts/check_report.py "$run_dir/report/index.html" build/report-screenshot.png --expect "#quality img" --expect "#timing img"
