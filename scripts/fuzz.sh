#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for the
# given number of seconds (default 60) on a working copy of its seed corpus.
# Crash, leak, timeout and out-of-memory inputs land in
# build-fuzz/artifacts/<target>/. Exits non-zero when any target found one.
# Usage: scripts/fuzz.sh [SECONDS]
# FUZZ_PARALLEL=1 runs the targets at the same time instead of one by one.
set -euo pipefail
cd "$(dirname "$0")/.."

duration=${1:-60}
if ! [[ $duration =~ ^[0-9]+$ ]] || [ "$duration" -lt 1 ]; then
  echo "usage: scripts/fuzz.sh [SECONDS]" >&2
  exit 2
fi

bash scripts/install-deps.sh --test-tools

build=build-fuzz
targets=(fuzz_vocabulary_load fuzz_sim_config fuzz_virtual_key_apdu fuzz_oath_responses
         fuzz_peer_owner)
declare -A seeds=([fuzz_vocabulary_load]=vocabulary [fuzz_sim_config]=sim_config
                  [fuzz_virtual_key_apdu]=virtual_key_apdu [fuzz_oath_responses]=oath_responses
                  [fuzz_peer_owner]=peer_owner)
declare -A extra=([fuzz_vocabulary_load]="" [fuzz_sim_config]="-dict=fuzz/sim_config.dict"
                  [fuzz_virtual_key_apdu]="-dict=fuzz/virtual_key_apdu.dict"
                  [fuzz_oath_responses]="" [fuzz_peer_owner]="")

# Only the fuzz targets and what they link are built: the Qt parts are not needed.
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTOVRIN_FUZZ=ON -DTOVRIN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

run_target() {
  local target=$1
  local corpus=$build/corpus/$target
  local artifacts=$build/artifacts/$target
  local log=$build/logs/$target.log
  mkdir -p "$corpus" "$build/logs"
  # Findings of earlier runs are kept in fuzz/regressions/, not here.
  rm -rf "$artifacts"
  mkdir -p "$artifacts"
  # New units go to the working copy; the repository's corpus stays as it is.
  cp -n fuzz/corpus/"${seeds[$target]}"/* "$corpus"/
  if compgen -G "fuzz/regressions/$target/*" >/dev/null; then
    cp -n fuzz/regressions/"$target"/* "$corpus"/
  fi
  local status=0
  # shellcheck disable=SC2086
  "$build/fuzz/$target" "$corpus" ${extra[$target]} \
    -max_total_time="$duration" -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1 || status=$?
  echo "$status" >"$build/logs/$target.status"
}

if [ "${FUZZ_PARALLEL:-0}" = 1 ]; then
  pids=()
  for t in "${targets[@]}"; do
    run_target "$t" &
    pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p"; done
else
  for t in "${targets[@]}"; do run_target "$t"; done
fi

failed=0
for t in "${targets[@]}"; do
  log=$build/logs/$t.log
  status=$(cat "$build/logs/$t.status")
  final=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  findings=$(find "$build/artifacts/$t" -type f \
    \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | sort)
  echo "== $t"
  echo "   executions: ${executed:-?} (${rate:-?} exec/s), exit status $status"
  echo "   last line:  ${final:-none}"
  if [ -n "$findings" ] || [ "$status" != 0 ]; then
    failed=1
    echo "   findings:"
    if [ -n "$findings" ]; then
      sed 's/^/     /' <<<"$findings"
    fi
    grep -E '^(==[0-9]+==|SUMMARY|invariant broken)' "$log" | head -n 5 | sed 's/^/     /' || true
    echo "   full log: $log"
  else
    echo "   findings:   none"
  fi
done
exit "$failed"
