#!/usr/bin/env bash
# Builds the Windows release on this Debian machine: the dependencies once
# into a cache (scripts/windows/deps.sh: Qt, CAF and GoogleTest from Debian's
# sources; about 20 minutes the first time), then the project cross-built
# with mingw-w64 into build-windows/, its unit tests included, and packed into
# dist/windows/ as a zip and an installer (scripts/windows/package.sh).
# Usage: scripts/windows/build.sh
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$repo"

start=$SECONDS
prefix=$(bash scripts/windows/deps.sh | tail -n 1)
echo "== cross-build (build-windows)"
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DTOVRIN_WINDOWS_DEPS="$prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-windows -j"$(nproc)"
echo "== package (dist/windows)"
bash scripts/windows/package.sh build-windows "$prefix"
echo "== Windows build done in $((SECONDS - start)) s"
