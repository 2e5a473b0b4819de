#!/usr/bin/env bash
# Builds the application and the simulated FIDO OTP service, starts the
# service in the background (default key, or the config file given), runs the
# application, and stops the service when the application exits.
# Later starts skip the package check and the build when nothing changed.
#
# Usage: scripts/run.sh [sim-config.json]
#        scripts/run.sh --use-running-service
#   --use-running-service  start no simulator: run the app against the service
#                          already listening on 127.0.0.1:12900
set -euo pipefail

usage() { sed -n 7,10p "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }

use_running=0
config=()
for arg in "$@"; do
  case "$arg" in
    --use-running-service) use_running=1 ;;
    -h|--help) usage ;;
    -*) usage ;;
    *) [ ${#config[@]} -eq 0 ] || usage
       [ -f "$arg" ] || { echo "run.sh: no such config file: $arg" >&2; exit 2; }
       config=(--config "$(realpath "$arg")") ;;
  esac
done
[ $use_running -eq 1 ] && [ ${#config[@]} -gt 0 ] && usage

cd "$(dirname "$0")/.."
build=build-run
port=12900
log=$build/fido-otp-sim.log
app=$build/app/tovrin-authenticator
sim=$build/service/sim/fido-otp-sim
# Touched once packages and build were complete; anything newer means work to do.
stamp=$build/.up-to-date

fail() { echo "run.sh: $*" >&2; exit 1; }
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }

needs_work() {
  [ -f "$stamp" ] && [ -x "$app" ] && [ -x "$sim" ] || return 0
  [ /var/lib/dpkg/status -nt "$stamp" ] && return 0
  # Folders count too (a file renamed or removed), but not the top one, which
  # changes whenever a build folder is made.
  [ -n "$(find . -mindepth 1 \( -path ./.git -o -path './build*' -o -path ./.cache \) -prune \
            -o -newer "$stamp" -print -quit)" ]
}

if needs_work; then
  if [ ! -f "$build/CMakeCache.txt" ]; then
    echo "First run: installing missing packages and building the app and the simulator."
    echo "This takes a few minutes (about 2 on a quiet 2-core machine, longer on a busy one)."
  fi
  bash scripts/install-deps.sh
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTOVRIN_BUILD_TESTS=OFF \
      >"$build.configure.log" 2>&1 || { cat "$build.configure.log" >&2; fail "cmake configure failed"; }
    rm -f "$build.configure.log"
  fi
  touch "$build/.building"
  cmake --build "$build" -j"$(nproc)" --target tovrin-authenticator fido-otp-sim
  mv "$build/.building" "$stamp"
fi

if [ $use_running -eq 1 ]; then
  listening || fail "nothing listens on 127.0.0.1:$port: start the FIDO OTP service first, or run without --use-running-service to start the simulated one"
  exec "$app"
fi

if listening; then
  fail "127.0.0.1:$port is already taken by another service: stop it, or run the app against it with: bash scripts/run.sh --use-running-service"
fi

# Emptied here, not by the child's redirection: the wait below must not find
# the previous run's lines.
: >"$log"
"$sim" "${config[@]}" >>"$log" 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT

for ((i = 0; ; i++)); do
  grep -q "serving on" "$log" && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    if grep -q "cannot listen" "$log"; then
      fail "127.0.0.1:$port is already taken by another service: stop it, or run the app against it with: bash scripts/run.sh --use-running-service"
    fi
    fail "fido-otp-sim ended before serving on 127.0.0.1:$port: $(tail -n 1 "$log") (log: $log)"
  fi
  [ $i -lt 1000 ] || fail "fido-otp-sim did not serve on 127.0.0.1:$port within 10 s (log: $log)"
  sleep 0.01
done
echo "fido-otp-sim serves on 127.0.0.1:$port; its log: $log"

status=0
"$app" || status=$?
if ! kill -0 "$sim_pid" 2>/dev/null; then
  fail "fido-otp-sim ended while the app was running: $(tail -n 1 "$log") (log: $log)"
fi
exit $status
