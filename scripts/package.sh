#!/usr/bin/env bash
# Builds the Debian package of the application and fido-otp-sim (Release, in
# the build folder scripts/run.sh uses) and prints its path.
# Install it with: sudo apt install ./build-run/packages/tovrin-authenticator_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
build=build-run
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTOVRIN_BUILD_TESTS=OFF
fi
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/packages/*.deb
cpack --config "$build/CPackConfig.cmake" -B "$build/packages" >/dev/null
ls "$PWD/$build"/packages/*.deb
