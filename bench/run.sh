#!/usr/bin/env bash
# Builds the application and the simulated service (default, and on CAF's
# stock scheduler) and a bare Qt baseline in Release, then measures them side
# by side. --soak instead runs the application and the service for 15 minutes
# and reports how their memory grows (bench/soak.py).
# --testbed measures the PC/SC test bed instead: APDU round trips to the virtual
# key through pcscd and vpcd, and the time from start to a visible key.
# --real-key-service measures fido-otp-service on the virtual key beside
# fido-otp-sim: request latency, CPU while the app polls, memory over a soak.
# --access measures what the access check costs (bench/access_check): connect to
# first answer without and with it, the check alone, a refused connection.
# Usage: bench/run.sh [--quick] [--no-profile] | bench/run.sh --soak [soak.py options]
#        | bench/run.sh --access [ROUNDS]
#        | bench/run.sh --testbed [testbed_bench.py options]
#        | bench/run.sh --real-key-service [service_bench.py options]
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=2
soak=0
if [ "${1:-}" = --testbed ]; then
  shift
  bash scripts/install-deps.sh --test-tools
  echo "== build (Release, -j$jobs)"
  cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTOVRIN_BUILD_TESTS=OFF \
    -DTOVRIN_STOCK_SCHEDULER=OFF >/dev/null
  cmake --build build-bench -j"$jobs" --target virtual-oath-key pcsc_roundtrip
  exec python3 bench/testbed_bench.py --testbed scripts/testbed.sh \
    --key build-bench/testbed/virtual-oath-key --roundtrip build-bench/bench/pcsc_roundtrip \
    --config testbed/examples/mixed.json --results bench/results "$@"
fi
if [ "${1:-}" = --access ]; then
  shift
  bash scripts/install-deps.sh --test-tools
  echo "== build (Release, -j$jobs)"
  cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTOVRIN_BUILD_TESTS=OFF \
    -DTOVRIN_STOCK_SCHEDULER=OFF >/dev/null
  cmake --build build-bench -j"$jobs" --target access_check
  # A network namespace of its own: loopback without anyone else's sockets.
  if [ "$(id -u)" -eq 0 ]; then netns=(unshare --net); else netns=(unshare --user --net); fi
  exec "${netns[@]}" sh -c 'ip link set lo up && exec "$0" "$@"' \
    build-bench/bench/access_check "${1:-200}"
fi
if [ "${1:-}" = --real-key-service ]; then
  shift
  bash scripts/install-deps.sh --test-tools
  echo "== build (Release, -j$jobs)"
  cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTOVRIN_BUILD_TESTS=OFF \
    -DTOVRIN_STOCK_SCHEDULER=OFF >/dev/null
  cmake --build build-bench -j"$jobs" --target virtual-oath-key fido-otp-service fido-otp-sim \
    service_latency tovrin-authenticator
  exec python3 bench/service_bench.py --testbed scripts/testbed.sh \
    --key build-bench/testbed/virtual-oath-key --service build-bench/service/pcsc/fido-otp-service \
    --sim build-bench/service/sim/fido-otp-sim --latency build-bench/bench/service_latency \
    --app build-bench/app/tovrin-authenticator --results bench/results "$@"
fi
if [ "${1:-}" = --soak ]; then
  soak=1
  shift
else
  for arg in "$@"; do
    case "$arg" in
      --quick|--no-profile) ;;
      -h|--help) sed -n 2,15p "$0"; exit 0 ;;
      *) echo "bench/run.sh: unknown argument: $arg" >&2; exit 2 ;;
    esac
  done
fi

bash scripts/install-deps.sh --test-tools

echo "== build (Release, -j$jobs)"
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTOVRIN_BUILD_TESTS=OFF \
  -DTOVRIN_STOCK_SCHEDULER=OFF >/dev/null
cmake --build build-bench -j"$jobs" --target tovrin-authenticator fido-otp-sim
if [ $soak -eq 1 ]; then
  cmake --build build-bench -j"$jobs" --target request_stress
  exec python3 bench/soak.py --app build-bench/app/tovrin-authenticator \
    --sim build-bench/service/sim/fido-otp-sim --stress build-bench/bench/request_stress \
    --results bench/results "$@"
fi
cmake -S . -B build-bench-stock -DCMAKE_BUILD_TYPE=Release -DTOVRIN_BUILD_TESTS=OFF \
  -DTOVRIN_STOCK_SCHEDULER=ON >/dev/null
cmake --build build-bench-stock -j"$jobs" --target tovrin-authenticator fido-otp-sim
cmake -S bench/bare_qt -B build-bench-bare -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench-bare -j"$jobs"

if (exec 3<>/dev/tcp/127.0.0.1/12900) 2>/dev/null; then
  echo "bench/run.sh: 127.0.0.1:12900 is already in use; the application always connects" \
       "there, so the benchmark needs it free (see: ss -ltnp 'sport = :12900')." >&2
  exit 1
fi

echo "== measure"
python3 bench/measure.py \
  --app build-bench/app/tovrin-authenticator \
  --app-stock build-bench-stock/app/tovrin-authenticator \
  --sim build-bench/service/sim/fido-otp-sim \
  --sim-stock build-bench-stock/service/sim/fido-otp-sim \
  --bare build-bench-bare/bench_bare_qt \
  --results bench/results "$@" &
measure_pid=$!
# measure.py stops what it started on SIGTERM; the trap passes signals on.
trap 'kill -TERM "$measure_pid" 2>/dev/null || true; wait "$measure_pid" 2>/dev/null || true' INT TERM
trap 'kill -TERM "$measure_pid" 2>/dev/null || true' EXIT
status=0
wait "$measure_pid" || status=$?
trap - EXIT
exit "$status"
