#!/usr/bin/env bash
# Fuzzes the two readers of zorv_mpi's input text files with libFuzzer, under
# AddressSanitizer and UndefinedBehaviorSanitizer: the configuration reader
# (initialize + validate_config on "zorv_mpi.ini") and the kernel-file reader
# (read_kernel_file on "win.txt"). Each target runs for SECONDS (default 300),
# one after the other; a crash, a hang (10 s per input) or a sanitizer report
# stops the script with the offending input in build-fuzz/.
#
# Usage: scripts/fuzz.sh [config|kernel|all] [SECONDS]
#
# Needs clang and its runtime libraries (Debian's clang and libclang-rt-14-dev),
# installed here with apt-get when missing; the normal build does not use them.
# The seed corpus is fuzz/corpus/<target>/ (small, hand-written, in the
# repository); what the fuzzer adds goes to build-fuzz/corpus/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

which=${1:-all}
seconds=${2:-300}
case $which in
  config|kernel) targets=("$which") ;;
  all) targets=(config kernel) ;;
  *) echo "usage: $0 [config|kernel|all] [seconds]" >&2; exit 2 ;;
esac

packages=(clang libclang-rt-14-dev cmake make)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

CXX=clang++ cmake -S fuzz -B build-fuzz > build-fuzz.log 2>&1 || { cat build-fuzz.log; exit 1; }
cmake --build build-fuzz -j "$(nproc)" >> build-fuzz.log 2>&1 || { tail -50 build-fuzz.log; exit 1; }
rm -f build-fuzz.log

# The targets change into a directory of their own, so every path is absolute.
for t in "${targets[@]}"; do
  mkdir -p "build-fuzz/corpus/$t"
  log="build-fuzz/fuzz_$t.log"
  echo "== fuzz_$t for $seconds s (log: $log)"
  status=0
  "$root/build-fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=4096 -print_final_stats=1 -artifact_prefix="$root/build-fuzz/$t-" \
    "$root/build-fuzz/corpus/$t" "$root/fuzz/corpus/$t" > "$log" 2>&1 || status=$?
  grep -E "^#[0-9]+ +DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb" \
    "$log" || true
  if [ $status -ne 0 ]; then
    tail -40 "$log"
    echo "fuzz_$t failed (status $status); the input is in build-fuzz/$t-*"
    exit 1
  fi
done
