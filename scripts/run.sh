#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: one scan of the simulated scanner
# (colour, 300 dpi, letter unless other scan options are given), written as TIFF.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
BUILD_DIR=${BUILD_DIR:-build}
SCAN_DIR=${SCAN_DIR:-$BUILD_DIR/scans}
mkdir -p "$SCAN_DIR"
program="$(pwd)/$BUILD_DIR/cli/scanner-module"
(cd "$SCAN_DIR" && "$program" scan --simulate --progress "$@")
latest=$(ls -t "$SCAN_DIR"/*.tiff | head -n 1)
echo "The scanned TIFF is $(cd "$(dirname "$latest")" && pwd)/$(basename "$latest")"
if command -v tiffinfo >/dev/null; then
  tiffinfo "$latest" 2>/dev/null | grep -E 'Image Width|Bits/Sample|Photometric|Samples/Pixel' || true
fi
