#!/usr/bin/env bash
# Installs what zorv_mpi, zorv_gen and zorv_spectra need to build and test: a
# C++ toolchain, CMake, Open MPI, the Boost headers, libpng, GoogleTest and
# Google Benchmark; and for the Python package in python/ (readers, report)
# Debian's numpy, matplotlib and pytest, setuptools, wheel, venv and pip (the
# package installs into a virtual environment without a registry), with
# Chromium to check the report's page in a real browser and the DejaVu fonts
# that page and plots use; help2man makes the programs' man pages from their
# --help, and groff (groff-base) renders them for the test of the pages.
# For the package in notebooks: pandas and h5py (zorv.Run.to_pandas and
# to_hdf5, the export command's .h5 files), mypy (the test that every
# function of the package has its types), and Jupyter's nbconvert with
# nbclient, nbformat and ipykernel (its python3 kernel) to run the example
# notebook from the command line.
# Safe to run again: packages already present are left alone, and apt is only
# touched when something is missing.
set -euo pipefail

packages=(g++ cmake make libopenmpi-dev openmpi-bin libboost-dev libpng-dev libgtest-dev libbenchmark-dev
          python3 python3-numpy python3-matplotlib python3-pytest python3-setuptools python3-wheel
          python3-venv python3-pip chromium fonts-dejavu-core help2man groff-base
          python3-pandas python3-h5py mypy jupyter-core jupyter-nbconvert python3-nbconvert python3-nbclient
          python3-nbformat python3-ipykernel python3-jupyter-client jupyter-client)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing missing packages: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
