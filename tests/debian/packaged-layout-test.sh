#!/bin/sh
# Tests the built Debian packages as they would be installed, without installing anything: they
# are unpacked into a scratch folder (the build tree of the packages no longer exists by then),
# SANE is pointed at the unpacked configuration and backend, and the unpacked programs run.
#   packaged-layout-test.sh [DEB-DIR]      (default build/deb, as scripts/package.sh leaves it)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
debs=${1:-$source_dir/build/deb}
passed=0
fail() {
  echo "FAILED: $*"
  echo "packaged layout: $passed passed, 1 failed"
  exit 1
}
pass() { passed=$((passed + 1)); echo "ok: $*"; }

root=$(mktemp -d /tmp/tarvell-packaged-XXXXXX)
trap 'rm -rf "$root"' EXIT
set -- "$debs"/tarvell-*.deb
[ -f "$1" ] || fail "no packages in $debs (run scripts/package.sh)"
for deb in "$@"; do dpkg-deb -x "$deb" "$root/files"; done
files=$root/files
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

# What a cmake --install of the sane component must hold, the package holds too; scanimage finds
# the backend through the package's own dll.d entry and a simulate line added to its tarvell.conf.
sh "$source_dir/tests/sane/install-test.sh" --root="$files" /usr bin "lib/$multiarch/sane" /etc/sane.d \
  /usr/lib/udev/rules.d "$(command -v scanimage)" >/dev/null || fail "the scanner package's files"
pass "the scanner package's files, and scanimage -L through its dll.d entry"

export SANE_CONFIG_DIR=$files/etc/sane.d LD_LIBRARY_PATH=$files/usr/lib/$multiarch/sane
scanimage -d tarvell:sim:0x01100000 --mode Gray --resolution 75 --format=tiff -o "$root/scan.tiff" ||
  fail "scanimage could not scan"
info=$(tiffinfo "$root/scan.tiff" 2>&1) || fail "scanimage wrote no TIFF: $info"
echo "$info" | grep -q 'Resolution: 75, 75' && echo "$info" | grep -q 'min-is-black' || fail "scanimage's TIFF: $info"
pass "scanimage scans with the unpacked backend"
unset SANE_CONFIG_DIR LD_LIBRARY_PATH

bin=$files/usr/bin
"$bin/scanner-module" scan --simulate --resolution 75 -o "$root/module.tiff" >/dev/null || fail "scanner-module scan"
tiffinfo "$root/module.tiff" >/dev/null 2>&1 || fail "scanner-module wrote no TIFF"
pass "scanner-module scans"

# One version: the packages' and the program's.
version=$(dpkg-deb -f "$1" Version)
[ "$("$bin/scanner-module" --version)" = "scanner-module $version" ] || fail "scanner-module --version is not $version"
pass "scanner-module --version is the packages' $version"

# The dialogs resolve the project's libraries and bundle inside the unpacked folder only.
private=$files/usr/lib/$multiarch/tarvell
for program in print-dialog print-dialog-gtk; do
  libs=$(ldd "$bin/$program")
  echo "$libs" | grep -q "libtarvell_platform_toolbox.so.0 => $files/" || fail "$program's libraries: $libs"
done
ldd "$private/Finishing.plugin/Contents/finishing-pde.so" | grep -q "printing.so.0 => $files/" ||
  fail "the plug-in does not find its libraries"
pass "the dialogs and the plug-in find the private libraries through their run paths"

ppd=$source_dir/tests/pde/data/oce-op3073.ppd
panel=$("$bin/print-dialog" --ppd "$ppd" --lang de) || fail "print-dialog --ppd"
echo "$panel" | grep -q '^Panel "Endverarbeitung"' || fail "print-dialog shows no Finishing panel in German: $panel"
pass "print-dialog loads the unpacked bundle without --bundle, with its translations"

if command -v xvfb-run >/dev/null 2>&1; then
  xvfb-run -a "$bin/print-dialog-gtk" --ppd "$ppd" --snapshot "$root/window.png" 2>"$root/gtk.err" ||
    fail "print-dialog-gtk --snapshot: $(cat "$root/gtk.err")"
  [ -s "$root/window.png" ] || fail "print-dialog-gtk drew no picture"
  pass "print-dialog-gtk draws its window"
fi
echo "packaged layout: $passed passed, 0 failed"
