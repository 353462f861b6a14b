#!/usr/bin/env bash
# Records the captures listed in captures.txt with scanner-module on the simulated scanner.
# Usage: tests/data/captures/record.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
module=${1:-$here/../../../build}/cli/scanner-module
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
grep -v '^#' "$here/captures.txt" | while IFS='|' read -r name recording options; do
  name=$(echo $name)
  [ -n "$name" ] || continue
  # shellcheck disable=SC2086  # the options are words
  "$module" scan --simulate $recording $options -o "$tmp/$name.tiff" --capture "$here/$name.pcap" || true
done
ls -l "$here"/*.pcap
