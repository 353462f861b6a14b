#!/bin/sh
# Tests the built Debian packages as they would be installed, without installing anything: they
# are unpacked into a scratch folder (the build tree of the packages no longer exists by then),
# SANE is pointed at the unpacked configuration and backend, and the unpacked programs run.
#   packaged-layout-test.sh [DEB-DIR]      (default build/deb, as scripts/package.sh leaves it)
set -eu
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
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
files=$root/files bin=$root/files/usr/bin lib=$root/files/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)

# What a cmake --install of the sane component must hold, the package holds too; scanimage finds
# the backend through the package's own dll.d entry and a simulate line added to its tarvell.conf.
sh "$source_dir/tests/sane/install-test.sh" --root="$files" /usr bin "${lib#$files/usr/}/sane" /etc/sane.d \
  /usr/lib/udev/rules.d "$(command -v scanimage)" >/dev/null || fail "the scanner package's files"
SANE_CONFIG_DIR=$files/etc/sane.d LD_LIBRARY_PATH=$lib/sane scanimage -d tarvell:sim:0x01100000 --mode Gray \
  --resolution 75 --format=tiff -o "$root/scan.tiff" || fail "scanimage could not scan"
tiffinfo "$root/scan.tiff" | grep -q 'Resolution: 75, 75' || fail "scanimage's TIFF: $(tiffinfo "$root/scan.tiff")"
pass "the scanner package's files; scanimage lists and scans through its dll.d entry"

"$bin/scanner-module" scan --simulate --resolution 75 -o "$root/module.tiff" >/dev/null || fail "scanner-module scan"
version=$(dpkg-deb -f "$1" Version)
[ "$("$bin/scanner-module" --version)" = "scanner-module $version" ] || fail "scanner-module --version is not $version"
pass "scanner-module scans, and its version is the packages' $version"

# The eSCL server: its version, and a unit that starts the packaged program.
[ "$("$files/usr/sbin/tarvell-escl" --version)" = "tarvell-escl $version" ] || fail "tarvell-escl --version"
grep -qx 'ExecStart=/usr/sbin/tarvell-escl' "$files/lib/systemd/system/tarvell-escl.service" ||
  fail "the unit does not start /usr/sbin/tarvell-escl"
[ -f "$files/usr/share/tarvell/tarvell-escl-icon.png" ] || fail "tarvell-escl's icon is not packaged"
pass "tarvell-escl runs, its unit starts it, and its icon is there"

# The project's libraries resolve inside the unpacked folder, through the run paths alone.
for object in "$bin/print-dialog" "$bin/print-dialog-gtk" "$lib/tarvell/Finishing.plugin/Contents/finishing-pde.so"; do
  ldd "$object" | grep -q "libtarvell_platform_printing.so.0 => $files/" || fail "$object's libraries: $(ldd "$object")"
done
ppd=$source_dir/tests/pde/data/oce-op3073.ppd
panel=$("$bin/print-dialog" --ppd "$ppd" --lang de) || fail "print-dialog --ppd"
echo "$panel" | grep -q '^Panel "Endverarbeitung"' || fail "print-dialog shows no Finishing panel in German: $panel"
pass "print-dialog finds its libraries and the bundle with its translations, without options"

if command -v xvfb-run >/dev/null 2>&1; then
  xvfb-run -a "$bin/print-dialog-gtk" --ppd "$ppd" --snapshot "$root/window.png" 2>"$root/gtk.err" ||
    fail "print-dialog-gtk --snapshot: $(cat "$root/gtk.err")"
  pass "print-dialog-gtk draws its window"
fi
echo "packaged layout: $passed passed, 0 failed"
