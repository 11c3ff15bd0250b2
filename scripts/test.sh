#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (unit tests and the
# MPI runs of zorv_mpi under mpiexec).
set -euo pipefail
cd "$(dirname "$0")/.."
# Warnings are errors here, so that none can come back unnoticed.
./scripts/build.sh -DZORV_WERROR=ON
# Open MPI refuses to start as root unless told, and by default refuses more
# ranks than cores; the tests need both.
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
export OMPI_MCA_rmaps_base_oversubscribe=1 OMPI_MCA_mpi_yield_when_idle=1
ctest --test-dir build --output-on-failure -j 2
