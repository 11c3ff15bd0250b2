#!/usr/bin/env bash
# Installs what is missing and builds everything into build/. Arguments are
# passed to CMake's configure step (e.g. -DZORV_WERROR=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "$@" > build.log 2>&1 || { cat build.log; exit 1; }
cmake --build build -j "$(nproc)" >> build.log 2>&1 || { tail -50 build.log; exit 1; }
rm -f build.log
