#!/usr/bin/env bash
# Builds the application and the simulated FIDO OTP service, starts the
# service in the background (default key, or the config file given), runs the
# application, and stops the service when the application exits.
# Usage: scripts/run.sh [sim-config.json]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build-run -DCMAKE_BUILD_TYPE=Release -DTOVRIN_BUILD_TESTS=OFF >/dev/null
cmake --build build-run -j"$(nproc)" --target tovrin-authenticator fido-otp-sim

sim_args=()
[ $# -ge 1 ] && sim_args=(--config "$1")
./build-run/sim/fido-otp-sim "${sim_args[@]}" > build-run/fido-otp-sim.log 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT

# Give the service a moment to listen on 127.0.0.1:12900.
for _ in $(seq 50); do
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    echo "fido-otp-sim failed to start:" >&2
    cat build-run/fido-otp-sim.log >&2
    exit 1
  fi
  (exec 3<>/dev/tcp/127.0.0.1/12900) 2>/dev/null && break
  sleep 0.1
done

./build-run/app/tovrin-authenticator
