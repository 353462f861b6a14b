#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR). Extra arguments, and those in
# $TARVELL_CMAKE_ARGS, go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja ${TARVELL_CMAKE_ARGS:-} "$@" >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
