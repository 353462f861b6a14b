#!/usr/bin/env bash
# Installs the Debian packages the project needs, when any is missing; with arguments, those
# packages instead (scripts/package.sh names what building the packages needs).
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libexpat1-dev libxml2-dev libxml2-utils
  libtiff-dev libtiff-tools libpng-dev
  libusb-1.0-0-dev umockdev libumockdev-dev
  libcups2-dev
  libsane-dev sane-utils
  clang libclang-rt-14-dev clang-format llvm
  cups-daemon cups-client cups-ipp-utils
  libgtk-4-dev xvfb xauth
  libpcap-dev tshark
  libmicrohttpd-dev libavahi-client-dev libcairo2-dev libjpeg62-turbo-dev uuid-dev sane-airscan poppler-utils
  python3-jsonschema
  chromium chromium-driver python3-selenium python3-pil
)
if [ $# -gt 0 ]; then
  PACKAGES=("$@")
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
# The browser test installs axe-core with npm: Debian's, unless one came with Node.js already.
if [ $# -eq 0 ] && ! command -v npm >/dev/null; then
  missing+=(npm)
fi

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

line="apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Run as root:" >&2
  echo "  apt-get update && $line" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
