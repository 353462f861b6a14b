#!/bin/sh
# Installs the "sane" component into a scratch DESTDIR and checks that it is complete and that
# scanimage finds the installed backend through the installed dll.d entry. With --root=DIR as
# BUILD, checks the files already laid out under DIR instead (an unpacked package), and changes
# its tarvell.conf.
#   install-test.sh BUILD|--root=DIR PREFIX BINDIR SANE-LIBDIR CONFDIR UDEVDIR [SCANIMAGE]
set -eu
build=$1 prefix=$2 bindir=$3 libdir=$4 confdir=$5 udevdir=$6 scanimage=${7:-}
case $libdir in /*) ;; *) libdir=$prefix/$libdir ;; esac
case $bindir in /*) ;; *) bindir=$prefix/$bindir ;; esac
fail() { echo "FAILED: $*" >&2; exit 1; }

case $build in
  --root=*) dest=${build#--root=} ;;
  *)
    dest=$(mktemp -d /tmp/tarvell-install-XXXXXX)
    trap 'rm -rf "$dest"' EXIT
    DESTDIR=$dest cmake --install "$build" --component sane >/dev/null
    ;;
esac

[ -x "$dest$bindir/scanner-module" ] || fail "no $bindir/scanner-module"
"$dest$bindir/scanner-module" --help >/dev/null || fail "the installed scanner-module does not run"

lib=$dest$libdir/libsane-tarvell.so.1
[ -L "$lib" ] || fail "no symlink $libdir/libsane-tarvell.so.1"
[ -f "$(readlink -f "$lib")" ] || fail "libsane-tarvell.so.1 points nowhere"
[ ! -e "$dest$libdir/libsane-tarvell.so" ] || fail "a development link was installed"
objdump -p "$lib" | grep -q 'SONAME *libsane-tarvell\.so\.1$' || fail "wrong soname"
exported=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v '^sane_tarvell_' || true)
[ -z "$exported" ] || fail "more than the entry points exported: $exported"

[ "$(cat "$dest$confdir/dll.d/tarvell")" = tarvell ] || fail "dll.d/tarvell does not name the backend"
grep -q '^usb 0x2b7e 0x0c5a' "$dest$confdir/tarvell.conf" || fail "tarvell.conf does not search USB"

for page in man5/sane-tarvell.5 man1/scanner-module.1; do
  [ -n "$(find "$dest" -path "*/man/$page*")" ] || fail "no manual page $page"
done

rules=$dest$udevdir/55-tarvell-k310.rules
[ -f "$rules" ] || fail "no udev rule in $udevdir"
grep -q 'ATTR{idVendor}=="2b7e", ATTR{idProduct}=="0c5a".*ENV{libsane_matched}="yes"' "$rules" || fail "the rule does not mark the scanner for SANE's access rules"
if command -v udevadm >/dev/null 2>&1 && udevadm verify --help >/dev/null 2>&1; then
  udevadm verify --no-style "$rules" >/dev/null || fail "udevadm finds the rule malformed"
fi

# The installed files work together: the SANE loader finds the backend through dll.d alone.
if [ -n "$scanimage" ]; then
  echo simulate >> "$dest$confdir/tarvell.conf"
  out=$(SANE_CONFIG_DIR=$dest$confdir LD_LIBRARY_PATH=$dest$libdir "$scanimage" -L)
  echo "$out" | grep -q "device \`tarvell:sim:0x01100000' is a Tarvell K310 (USB)" || fail "scanimage -L: $out"
fi
echo "installed and found: $(cd "$dest" && find . -type f -o -type l | sort | tr '\n' ' ')"
