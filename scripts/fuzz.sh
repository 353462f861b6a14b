#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (FUZZ_SECONDS, default 30).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if ! command -v clang++ >/dev/null; then
  echo "clang++ not installed: fuzz targets skipped"
  exit 0
fi
BUILD_DIR=build-fuzz scripts/build.sh -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTARVELL_FUZZ=ON -DTARVELL_TESTS=OFF -DTARVELL_BENCH=OFF
seconds=${FUZZ_SECONDS:-30}
export ASAN_OPTIONS=detect_leaks=1
status=0
for f in build-fuzz/fuzz/*/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus="build-fuzz/corpus/$name"
  mkdir -p "$corpus"
  seeds="fuzz/$(basename "$(dirname "$f")")/corpus/$name"
  [ -d "$seeds" ] || seeds=""
  dict="fuzz/$(basename "$(dirname "$f")")/$name.dict"
  [ -f "$dict" ] && dict="-dict=$dict" || dict=""
  if "$f" -max_total_time="$seconds" -print_final_stats=1 $dict "$corpus" $seeds >"build-fuzz/$name.log" 2>&1; then
    echo "$name: $(grep -E 'stat::number_of_executed_units' "build-fuzz/$name.log" | awk '{print $2}') runs, no finding"
  else
    echo "$name: FAILED"; tail -40 "build-fuzz/$name.log"; status=1
  fi
done
exit $status
