#!/usr/bin/env bash
# Builds the application and the simulated FIDO OTP service, starts the
# service in the background (default key, or the config file given), runs the
# application, and stops the service when the application exits.
# Later starts skip the package check and the build when nothing changed.
#
# Usage: scripts/run.sh [sim-config.json]
#        scripts/run.sh --use-running-service
#        scripts/run.sh --real-key
#        scripts/run.sh --virtual-key [KEY.json]
#   --use-running-service  start no simulator: run the app against the service
#                          already listening on 127.0.0.1:12900
#   --real-key             the app against fido-otp-service and the key in a
#                          PC/SC reader (needs pcscd)
#   --virtual-key          the whole real path without hardware: a PC/SC test bed
#                          with a virtual key (default service/pcsc/examples/demo-key.json;
#                          its PIN, if any, is the key's password), fido-otp-service
#                          and the app, all in the test bed's network namespace
set -euo pipefail

usage() { sed -n 7,19p "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }

use_running=0
mode=sim
config=()
key_config=""
for arg in "$@"; do
  case "$arg" in
    --use-running-service) use_running=1 ;;
    --real-key) mode=real ;;
    --virtual-key) mode=virtual ;;
    -h|--help) usage ;;
    -*) usage ;;
    *) [ ${#config[@]} -eq 0 ] && [ -z "$key_config" ] || usage
       [ -f "$arg" ] || { echo "run.sh: no such config file: $arg" >&2; exit 2; }
       if [ "$mode" = virtual ]; then
         key_config=$(realpath "$arg")
       else
         config=(--config "$(realpath "$arg")")
       fi ;;
  esac
done
[ $use_running -eq 1 ] && { [ ${#config[@]} -gt 0 ] || [ "$mode" != sim ]; } && usage
[ "$mode" = real ] && [ ${#config[@]} -gt 0 ] && usage

cd "$(dirname "$0")/.."
build=build-run
port=12900
log=$build/fido-otp-sim.log
app=$build/app/tovrin-authenticator
sim=$build/service/sim/fido-otp-sim
service=$build/service/pcsc/fido-otp-service
virtual_key=$build/testbed/virtual-oath-key
# Touched once packages and build were complete; anything newer means work to do.
stamp=$build/.up-to-date

fail() { echo "run.sh: $*" >&2; exit 1; }
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }
installed() { dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null | grep -q '^ii'; }

# What this mode runs.
case $mode in
  sim) programs=("$app" "$sim"); targets=(tovrin-authenticator fido-otp-sim) ;;
  real) programs=("$app" "$service"); targets=(tovrin-authenticator fido-otp-service) ;;
  virtual) programs=("$app" "$service" "$virtual_key")
           targets=(tovrin-authenticator fido-otp-service virtual-oath-key) ;;
esac

needs_work() {
  [ -f "$stamp" ] || return 0
  local program
  for program in "${programs[@]}"; do
    [ -x "$program" ] || return 0
  done
  [ /var/lib/dpkg/status -nt "$stamp" ] && return 0
  # Folders count too (a file renamed or removed), but not the top one, which
  # changes whenever a build folder is made.
  [ -n "$(find . -mindepth 1 \( -path ./.git -o -path './build*' -o -path ./.cache \) -prune \
            -o -newer "$stamp" -print -quit)" ]
}

# Missing middleware is told before anything is built.
if [ "$mode" = real ]; then
  installed pcscd \
    || fail "pcscd is not installed (fido-otp-service reaches keys through it): sudo apt install pcscd"
fi
if [ "$mode" = virtual ]; then
  # The test bed needs pcscd, vpcd and pyscard; it runs as root or, through a
  # user namespace, as a regular user.
  missing=()
  for p in pcscd vsmartcard-vpcd python3-pyscard iproute2; do
    installed "$p" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] || fail "the PC/SC test bed needs ${missing[*]}: sudo apt install ${missing[*]}"
fi

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
  cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
  mv "$build/.building" "$stamp"
fi

if [ "$mode" = virtual ]; then
  [ -n "$key_config" ] || key_config=$PWD/service/pcsc/examples/demo-key.json
  echo "A virtual key ($key_config) in a PC/SC test bed; fido-otp-service's log: $build/fido-otp-service.log"
  : >"$build/fido-otp-service.log"
  # Inside the test bed: 127.0.0.1:12900 and vpcd's ports are private to it.
  exec bash scripts/testbed.sh --virtual-key "$virtual_key" --key "$key_config" -- \
    bash -c '
      "$1" >>"$3" 2>&1 &
      service=$!
      trap "kill $service 2>/dev/null; wait $service 2>/dev/null" EXIT
      for ((i = 0; i < 1000; i++)); do
        grep -q "serving on" "$3" && break
        kill -0 $service 2>/dev/null || { echo "run.sh: fido-otp-service ended: $(tail -n 1 "$3")" >&2; exit 1; }
        sleep 0.01
      done
      "$2"
    ' run-virtual-key "$PWD/$service" "$PWD/$app" "$PWD/$build/fido-otp-service.log"
fi

if [ "$mode" = real ]; then
  sim=$service
  log=$build/fido-otp-service.log
  config=()
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
name=$(basename "$sim")
"$sim" "${config[@]}" >>"$log" 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT

for ((i = 0; ; i++)); do
  grep -q "serving on" "$log" && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    if grep -q "cannot listen" "$log"; then
      fail "127.0.0.1:$port is already taken by another service: stop it, or run the app against it with: bash scripts/run.sh --use-running-service"
    fi
    fail "$name ended before serving on 127.0.0.1:$port: $(tail -n 1 "$log") (log: $log)"
  fi
  [ $i -lt 1000 ] || fail "$name did not serve on 127.0.0.1:$port within 10 s (log: $log)"
  sleep 0.01
done
echo "$name serves on 127.0.0.1:$port; its log: $log"

status=0
"$app" || status=$?
if ! kill -0 "$sim_pid" 2>/dev/null; then
  fail "$name ended while the app was running: $(tail -n 1 "$log") (log: $log)"
fi
exit $status
