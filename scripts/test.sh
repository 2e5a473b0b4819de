#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite, then the same
# suite again built with AddressSanitizer and UndefinedBehaviorSanitizer, then
# a short run of each fuzz target, then the Windows build under Wine
# (scripts/windows/build.sh and test.sh; the first run builds its dependencies,
# about 20 minutes).
# Usage: scripts/test.sh [--no-sanitize] [--no-windows]
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=1
windows=1
for arg in "$@"; do
  case "$arg" in
    --no-sanitize) sanitize=0 ;;
    --no-windows) windows=0 ;;
    *) echo "usage: scripts/test.sh [--no-sanitize] [--no-windows]" >&2; exit 2 ;;
  esac
done

bash scripts/install-deps.sh --test-tools

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 300
}

run_suite build-test
if [ $sanitize -eq 1 ]; then
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
  run_suite build-test-asan -DTOVRIN_SANITIZE=ON
  FUZZ_PARALLEL=1 bash scripts/fuzz.sh 60
fi
if [ $windows -eq 1 ]; then
  bash scripts/windows/build.sh
  TOVRIN_LINUX_BUILD=$PWD/build-test bash scripts/windows/test.sh
fi
