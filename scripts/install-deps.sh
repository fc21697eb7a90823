#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need.
# Idempotent: packages already present are left alone, and apt is only asked
# when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libcurl4-openssl-dev libssl-dev openssl curl ca-certificates
  libjpeg-dev libpng-dev libopenjp2-7-dev zlib1g-dev libsodium-dev
  libfltk1.3-dev libx11-dev libxft-dev libfontconfig1-dev
  libgtest-dev libgmock-dev libcpp-httplib-dev
  nginx-light varnish hitch squid-openssl tinyproxy strace
  xvfb xdotool x11-utils imagemagick fonts-noto-cjk fontconfig
  python3 python3-pil
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-x86-64-dev dpkg-dev ninja-build wine wine64
  autoconf automake libtool osslsigncode
  exfatprogs exfat-fuse
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi

echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# The caches' packages (varnish, squid) would start their services on the
# default ports; the tests run their own on free ports. Unless the machine
# already has a policy, none is started while installing (Debian's
# policy-rc.d: 101, "action not allowed").
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod 755 "$policy"
  trap '$SUDO rm -f "$policy"' EXIT
fi
# A stale or empty package list makes install fail; refresh it first.
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
