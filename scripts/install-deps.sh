#!/usr/bin/env bash
# Installs the Debian packages the project needs. Does nothing when all are present.
# Usage: scripts/install-deps.sh [--test-tools]
#   (default)      what building and running the application and the services needs
#   --test-tools   also the test suite's, the benchmark's and the fuzzers' tools
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qtbase5-dev qtbase5-dev-tools libqt5svg5
  libcaf-dev
  libspdlog-dev libfmt-dev
  libssl-dev nlohmann-json3-dev
  libpcsclite-dev
)

test_tools=(
  libgtest-dev libgmock-dev googletest
  oathtool
  xvfb x11-utils xdotool xclip imagemagick librsvg2-bin
  binutils-mingw-w64-x86-64
  clang libclang-rt-dev
  valgrind linux-perf
  python3 libx11-6
  desktop-file-utils appstream man-db
  g++-s390x-linux-gnu qemu-user
  at-spi2-core python3-pyatspi dbus-x11
  pcscd vsmartcard-vpcd pcsc-tools python3-ykman python3-pyscard libpcsclite-dev iproute2
)

for arg in "$@"; do
  case "$arg" in
    --test-tools) packages+=("${test_tools[@]}") ;;
    *) echo "usage: scripts/install-deps.sh [--test-tools]" >&2; exit 2 ;;
  esac
done

# One query for all of them: a missing package prints no line or a status other than "ii".
installed=$(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "${packages[@]}" 2>/dev/null || true)
missing=()
for p in "${packages[@]}"; do
  grep -qx "$p ii *" <<<"$installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
