#!/bin/sh
# Wall time of one 300 dpi colour letter page on the simulated scanner: scanimage through the SANE
# backend against scanner-module scan, run alternately in the same run.
#   scripts/bench-sane.sh [BUILD-DIR] [RUNS]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
runs=${2:-10}
module=$build/cli/scanner-module
backend=$build/sane
command -v scanimage >/dev/null || { echo "scanimage is missing (apt-get install sane-utils)" >&2; exit 1; }
[ -x "$module" ] && [ -e "$backend/libsane-tarvell.so.1" ] ||
  { echo "build scanner-module and sane-tarvell in $build first" >&2; exit 1; }

work=$(mktemp -d /tmp/tarvell-bench-sane-XXXXXX)
trap 'rm -rf "$work"' EXIT
echo tarvell > "$work/dll.conf"
echo simulate > "$work/tarvell.conf"

now() { date +%s%N; }
sane_scan() {
  SANE_CONFIG_DIR=$work LD_LIBRARY_PATH=$backend scanimage -d tarvell:sim:0x01100000 --format=tiff \
    --mode Color --resolution 300 -l 0 -t 0 -x 215.9 -y 279.4 -o "$work/sane.tiff"
}
module_scan() {
  "$module" scan --simulate --mode Color --resolution 300 -l 0 -t 0 -x 215.9 -y 279.4 -o "$work/module.tiff" >/dev/null
}

# One of each first, unmeasured: libraries into the page cache, and a check that both work.
sane_scan && module_scan
: > "$work/sane.ms"
: > "$work/module.ms"
i=0
while [ $i -lt "$runs" ]; do
  t0=$(now); sane_scan; t1=$(now); module_scan; t2=$(now)
  echo $(( (t1 - t0) / 1000 )) >> "$work/sane.ms"
  echo $(( (t2 - t1) / 1000 )) >> "$work/module.ms"
  i=$((i + 1))
done

# Median, mean and minimum in milliseconds (from microseconds).
stats() {
  sort -n "$1" | awk '{ v[NR] = $1; s += $1 } END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%.1f %.1f %.1f", m / 1000, s / NR / 1000, v[1] / 1000 }'
}
set -- $(stats "$work/sane.ms"); sm=$1 sa=$2 sn=$3
set -- $(stats "$work/module.ms"); mm=$1 ma=$2 mn=$3
size=$(stat -c %s "$work/sane.tiff")
echo "300 dpi colour letter page (2550 x 3300), simulated scanner, $runs runs each, alternating"
printf "%-44s median %8.1f ms  mean %8.1f ms  min %8.1f ms\n" "scanimage --format=tiff (SANE backend)" "$sm" "$sa" "$sn"
printf "%-44s median %8.1f ms  mean %8.1f ms  min %8.1f ms\n" "scanner-module scan" "$mm" "$ma" "$mn"
awk -v s="$sm" -v m="$mm" 'BEGIN { printf "scanimage / scanner-module (medians): %.2f\n", s / m }'
echo "scanimage's TIFF: $size bytes"
