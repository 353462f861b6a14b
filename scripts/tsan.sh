#!/usr/bin/env bash
# Builds the SANE backend, the host's driver thread and streamed page, and the tests that drive
# them in-process with ThreadSanitizer and runs them: the backend scans on a thread of its own
# while the frontend reads, cancels, closes and waits.
# (Debian's scanimage and saned are not instrumented, so the tests that run them are left out.)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
BUILD_DIR=build-tsan
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVELL_TSAN=ON -DTARVELL_BENCH=OFF \
  ${TARVELL_CMAKE_ARGS:-} >/dev/null
targets=(sane-tarvell DriverThreadTest PageStreamTest SaneHostTest SaneBackendTest SaneStandardTest SaneOptionsTest SaneConfigTest tarvell-sane-frontend
  EsclPartsTest EsclServerTest tarvell-escl scanner-module)
cmake --build "$BUILD_DIR" -j "$(nproc)" --target "${targets[@]}"
# A child forked after the driver thread started gets a thread of its own (a test forks).
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)" --timeout 600 \
  -R '^(DriverThread|PageStreamTest|SaneHost|SaneBackend|SaneGuard|SaneStandard|SaneOptions|SaneConfig|SaneFrontendThreeRounds|Escl)' -E EsclWebPageTest
