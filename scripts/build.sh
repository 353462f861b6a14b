#!/usr/bin/env bash
# Configures and builds everything into build/ (or $BUILD_DIR). Extra arguments, and those in
# $TARVELL_CMAKE_ARGS, go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
# The whole tree, also in a folder that scripts/run.sh set up for scanner-module alone.
cmake -S . -B "$BUILD_DIR" -G Ninja -DTARVELL_SCANNER_ONLY=OFF ${TARVELL_CMAKE_ARGS:-} "$@" >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
