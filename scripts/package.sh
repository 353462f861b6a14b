#!/usr/bin/env bash
# Builds the Debian packages into build/deb/ (or $DEB_DIR) with dpkg-buildpackage and checks them
# with lintian, which must report no error and no warning. Installs what the build needs first
# when any of it is missing (as root; otherwise prints the apt-get line to run).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${DEB_DIR:-build/deb}

# debian/control's Build-Depends (debhelper-compat is debhelper's), and the packaging tools.
mapfile -t build_deps < <(sed -n '/^Build-Depends:/,/^[^ ]/{s/^Build-Depends://;/^[A-Z]/d;p}' debian/control |
  tr ',' '\n' | sed 's/(.*)//; s/[[:space:]]//g' | grep -v -e '^$' -e '^debhelper-compat$')
scripts/setup.sh dpkg-dev debhelper fakeroot lintian "${build_deps[@]}"

# dpkg-buildpackage writes next to the source folder, so it builds a copy of the working tree
# (what git tracks or would track, with uncommitted changes; all but build* outside git) inside $out.
start=$SECONDS
rm -rf "$out"
src=$out/src/tarvell
mkdir -p "$src"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$src"
else
  tar --exclude='./build*' -cf - . | tar -xf - -C "$src"
fi
echo "Building the packages (log: $out/build.log)"
# No -dbgsym packages: the packages are for installing, not for debugging.
export DEB_BUILD_OPTIONS="noautodbgsym ${DEB_BUILD_OPTIONS:-}"
if ! (cd "$src" && dpkg-buildpackage -b -us -uc -J2) >"$out/build.log" 2>&1; then
  tail -n 40 "$out/build.log" >&2
  echo "package.sh: dpkg-buildpackage failed; the whole log is $out/build.log" >&2
  exit 1
fi
mv "$out"/src/*.deb "$out"/
rm -rf "$out/src"
echo "Built in $((SECONDS - start)) s:"
ls -s --block-size=K "$out"/*.deb

start=$SECONDS
lintian --fail-on error,warning "$out"/*.deb
echo "lintian: no error, no warning ($((SECONDS - start)) s)"
