#!/usr/bin/env bash
# Installs every Debian package the build, the program and the tests need.
# Idempotent: when all packages are present it returns at once without apt.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build ccache pkg-config
  libssl-dev openssl zlib1g-dev libjemalloc-dev
  qt6-base-dev xvfb xauth x11-utils imagemagick fonts-dejavu-core xdotool xclip
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libnghttp2-dev nghttp2-server nghttp2-client curl nginx
  clang-14 libclang-rt-14-dev
  python3
  libhiredis-dev redis-server
  squid dante-server microsocks openssh-server openssh-client
  dpkg-dev lintian desktop-file-utils man-db
  libcpp-httplib-dev libtomlplusplus-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
