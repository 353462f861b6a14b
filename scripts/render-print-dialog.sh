#!/usr/bin/env bash
# Draws print-dialog-gtk's window into two PNGs, each for a queue on a private CUPS scheduler
# made from a real PPD: doc/print-dialog-gtk.png (or $1), stapling chosen (which greys out the
# upper output bin) and the Output Bin menu open; doc/print-dialog-gtk-reasons.png (or $2), a
# colour office MFP whose finisher and other hardware are not installed, with the Output Bin menu
# open:
# each greyed row says what blocks it, and the note under the panel names the hardware. Runs
# under its own Xvfb; the machine's CUPS is not touched.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
OUT=${1:-doc/print-dialog-gtk.png}
OUT2=${2:-doc/print-dialog-gtk-reasons.png}
PPD=${PPD:-tests/pde/data/oce-op3073.ppd}
PPD2=${PPD2:-tests/pde/data/sharp-mx6240n.ppd}
cmake --build "$BUILD_DIR" --target print-dialog-gtk

dir=$(mktemp -d /tmp/tarvell-render.XXXXXX)
cupsd_pid=
cleanup() {
  if [ -n "$cupsd_pid" ]; then kill "$cupsd_pid" 2>/dev/null || true; wait "$cupsd_pid" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT
mkdir -p "$dir"/{root,spool/tmp,cache,state,log,client,home}
sock=$dir/cups.sock
cat > "$dir/root/cupsd.conf" <<CONF
Listen $sock
Browsing No
WebInterface No
DefaultAuthType None
<Policy default>
  <Limit All>
    Order allow,deny
    Allow all
  </Limit>
</Policy>
CONF
cat > "$dir/root/cups-files.conf" <<CONF
ServerRoot $dir/root
RequestRoot $dir/spool
TempDir $dir/spool/tmp
CacheDir $dir/cache
StateDir $dir/state
ErrorLog $dir/log/error_log
AccessLog $dir/log/access_log
PageLog $dir/log/page_log
Printcap $dir/printcap
FileDevice Yes
Sandboxing Relaxed
FatalErrors none
User $(id -un)
Group $(id -gn)
SystemGroup $(id -gn)
CONF
/usr/sbin/cupsd -f -c "$dir/root/cupsd.conf" -s "$dir/root/cups-files.conf" > "$dir/log/cupsd.out" 2>&1 &
cupsd_pid=$!

export CUPS_SERVER=$sock CUPS_SERVERROOT=$dir/client HOME=$dir/home TMPDIR=$dir/home
for _ in $(seq 300); do lpstat -r > /dev/null 2>&1 && break; sleep 0.1; done
lpadmin -p Finisher -E -v file:///dev/null -P "$PPD" -D "Finishing printer" 2>&1 | { grep -v "drivers are deprecated" >&2 || true; }
lpadmin -p Office -E -v file:///dev/null -P "$PPD2" -D "Office MFP" 2>&1 | { grep -v "drivers are deprecated" >&2 || true; }
lpadmin -d Finisher

render() {
  mkdir -p "$(dirname "$1")"
  env -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS \
    XDG_RUNTIME_DIR="$dir/home" XDG_CONFIG_HOME="$dir/home" XDG_CACHE_HOME="$dir/home" XDG_DATA_HOME="$dir/home" \
    GDK_BACKEND=x11 GSK_RENDERER=cairo GDK_DEBUG=gl-disable GTK_A11Y=none NO_AT_BRIDGE=1 \
    GSETTINGS_BACKEND=memory GIO_USE_VFS=local \
    xvfb-run -a -s "-nolisten tcp -screen 0 $2x24" \
    "$BUILD_DIR/pde/gtk/print-dialog-gtk" "${@:3}" --snapshot "$1"
  echo "wrote $1"
}
render "$OUT" 1024x768 --printer Finisher --set StapleWhen=EndOfSet --open OutputBin
render "$OUT2" 1280x1024 --printer Office --open OutputBin
