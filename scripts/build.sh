#!/usr/bin/env bash
# Installs what is missing and builds everything into build/. Arguments are
# passed to CMake's configure step (e.g. -DZORV_WERROR=ON).
#
# The compiler's output goes to build.log (shown when a step fails); the
# console gets one of CMake's progress lines per tenth of the build, so that
# a first build of a few minutes is seen to move.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install_deps.sh
echo "Configuring the build in build/ (cmake)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "$@" > build.log 2>&1 || { cat build.log; exit 1; }
echo "Building with $(nproc) jobs (full output in build.log)"
# A progress line "[ 37%] Building CXX object ..." each time the build passes
# another 10 %; "up to date" when nothing had to be compiled or linked.
progress() {
  awk '
    /^\[ *[0-9]+%\] (Building|Linking|Generating|Man page)/ { work = 1 }
    match($0, /^\[ *[0-9]+%\]/) {
      p = substr($0, 2, RLENGTH - 3) + 0
      if (work && p >= next_p) { print "  " $0; fflush(); next_p = (int(p / 10) + 1) * 10 }
    }
    END { if (!work) print "  up to date" }'
}
cmake --build build -j "$(nproc)" 2>&1 | tee -a build.log | progress ||
  { tail -50 build.log; exit 1; }
rm -f build.log
