#!/usr/bin/env bash
# Installs what the scan needs when it is missing, builds scanner-module alone, and runs the main
# job: one scan of the simulated scanner (colour, 300 dpi, letter unless other scan options are
# given), written as TIFF (or as -o FILE's name says). (scripts/test.sh installs and builds
# everything.)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build-essential cmake ninja-build pkg-config libexpat1-dev libxml2-dev libtiff-dev libtiff-tools \
  libpng-dev libjpeg62-turbo-dev libcairo2-dev libusb-1.0-0-dev libpcap-dev
BUILD_DIR=${BUILD_DIR:-build}
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD_DIR" -G Ninja -DTARVELL_SCANNER_ONLY=ON ${TARVELL_CMAKE_ARGS:-} >/dev/null
fi
cmake --build "$BUILD_DIR" -j "$(nproc)" --target scanner-module
SCAN_DIR=${SCAN_DIR:-$BUILD_DIR/scans}
mkdir -p "$SCAN_DIR"
program="$(pwd)/$BUILD_DIR/cli/scanner-module"
(cd "$SCAN_DIR" && "$program" scan --simulate --progress "$@")
latest=$(ls -t "$SCAN_DIR"/* | head -n 1)
echo "The scanned file is $(cd "$(dirname "$latest")" && pwd)/$(basename "$latest")"
if command -v tiffinfo >/dev/null && [[ "$latest" == *.tif || "$latest" == *.tiff ]]; then
  tiffinfo "$latest" 2>/dev/null | grep -E 'Image Width|Resolution|Bits/Sample|Photometric|Samples/Pixel' || true
fi
