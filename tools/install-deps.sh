#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Runs apt-get update once, and only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-charts-dev libqt6opengl6-dev libjpeg-dev libsqlite3-dev fonts-wqy-microhei
  libpsl-dev publicsuffix libidn2-dev libdbus-1-dev dbus-daemon
  libtomlplusplus-dev libcli11-dev libpq-dev postgresql
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  libpcre2-dev libcurl4-openssl-dev libssl-dev openssl ca-certificates
  opencc nlohmann-json3-dev
  zlib1g-dev libbrotli-dev libc-ares-dev libxml2-dev
  microsocks dante-server nginx-light tinyproxy
  xvfb xdotool x11-apps imagemagick iproute2 util-linux
  librsvg2-bin help2man dpkg-dev fakeroot lintian desktop-file-utils appstream man-db
  x11-utils strace qt6-qpa-plugins
)

# `install-deps.sh bench`: also the peers only the benchmarks and the docs pictures need (the
# crawl's wget2 and linkchecker, headless Chromium for the HTML report's picture).
if [ "${1:-}" = bench ]; then
  packages+=(wget2 linkchecker chromium)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# Services from these packages must not start on install (tests start their own copies).
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  trap '$SUDO rm -f /usr/sbin/policy-rc.d' EXIT
fi
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
