#!/usr/bin/env bash
# Installs every Debian package the project needs. Does nothing when all are present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qtbase5-dev qtbase5-dev-tools libqt5svg5 libqt5svg5-dev
  libcaf-dev
  libspdlog-dev libfmt-dev
  libgtest-dev libgmock-dev googletest
  libssl-dev nlohmann-json3-dev
  oathtool
  xvfb x11-utils xdotool imagemagick librsvg2-bin binutils-mingw-w64-x86-64
  clang libclang-rt-dev
  valgrind linux-perf
  python3 libx11-6
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
