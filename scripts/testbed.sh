#!/usr/bin/env bash
# A PC/SC test bed without hardware: an isolated pcscd with only the vpcd
# reader driver, up to two virtual OATH keys in vpcd's two slots, and COMMAND
# run against them.
#
# Usage: scripts/testbed.sh --virtual-key PATH [--key KEY.json]... [--reader-name NAME]
#                           -- COMMAND [ARGS...]
#
#   --virtual-key PATH  the virtual-oath-key executable
#   --key KEY.json      a key configuration: the first goes into slot 0 (vpcd port
#                       35963), the second into slot 1 (35964). None: readers without cards.
#   --reader-name NAME  the readers' FRIENDLYNAME (default "Virtual PCD"); pcscd names
#                       the slots "NAME 00 00" and "NAME 00 01"
#
# pcscd runs in mount, network and PID namespaces of its own: a private /run/pcscd, a
# tmpfs over the USB driver folder, and a network namespace with only `lo` (up), so that
# vpcd's ports are never on a real network and runs never clash. The script waits until
# both readers and every key are visible to PC/SC clients, then runs COMMAND in the same
# network and PID namespaces, as the invoking user, in a mount namespace that differs from
# the host's only by a /proc of that PID namespace (not in pcscd's), with:
#   PCSCLITE_CSOCK_NAME  the private pcscd's socket
#   TESTBED_PCSCD_PID    pcscd's pid
#   TESTBED_KEY_PIDS     the keys' pids in slot order (SIGUSR1 removes a key, SIGUSR2
#                        inserts it again)
#   TESTBED_VPCD_PORTS   "35963 35964"
#   TESTBED_VIRTUAL_KEY  the key executable (to start a key with another configuration)
#   TESTBED_READERS      the reader names, one per line, in slot order
# Exits with COMMAND's status; 125 when the test bed itself fails. Everything it started
# stops when COMMAND ends, and also when the script is killed (SIGTERM, SIGINT, SIGHUP,
# SIGKILL); its temporary folder goes with them. As a regular user the namespaces come
# with a user namespace (unshare --user --map-root-user), and COMMAND runs with the
# user's own ids.
set -euo pipefail

readonly vpcd_ports=(35963 35964)
readonly testbed_failed=125
# How long pcscd and the keys may take to show up (sanitizer builds on a busy machine).
readonly visible_within_s=30

fail() {
  echo "testbed: $*" >&2
  exit "$testbed_failed"
}

usage() {
  sed -n '6,7p' "$0" | sed 's/^# //' >&2
  exit "$testbed_failed"
}

# Waits until pcscd answers, both readers exist and the given slots hold a card. Prints
# the reader names in slot order. Fails early when a watched process has ended.
# Run it in the background: it becomes the python process, so a signal reaches it.
wait_until_visible() {
  local slots=$1 watch=$2
  exec /usr/bin/python3 - "$visible_within_s" "$slots" "$watch" <<'PY'
import os, sys, time
from smartcard import scard

timeout, slots, watch = float(sys.argv[1]), sys.argv[2].split(), sys.argv[3].split()
deadline = time.monotonic() + timeout

def check():
    for pid in watch:
        try:
            with open(f"/proc/{pid}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            state = "gone"
        if state in ("Z", "X", "gone"):
            sys.exit(f"testbed: process {pid} ended while the test bed started")
    if time.monotonic() > deadline:
        sys.exit(f"testbed: pcscd or a key not visible within {timeout:g} s")

while True:  # the socket appears some milliseconds after pcscd starts
    hresult, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
    if hresult == scard.SCARD_S_SUCCESS:
        break
    check()
    time.sleep(0.005)

pnp = "\\\\?PnP?\\Notification"
known = scard.SCARD_STATE_UNAWARE
while True:
    hresult, readers = scard.SCardListReaders(context, [])
    if hresult == scard.SCARD_S_SUCCESS and len(readers) >= 2:
        break
    check()
    hresult, states = scard.SCardGetStatusChange(context, 100, [(pnp, known)])
    if hresult == scard.SCARD_S_SUCCESS:
        known = states[0][1] & ~scard.SCARD_STATE_CHANGED

readers = sorted(readers)
states = [(readers[int(slot)], scard.SCARD_STATE_UNAWARE) for slot in slots]
while states:
    hresult, seen = scard.SCardGetStatusChange(context, 100, states)
    if hresult == scard.SCARD_S_SUCCESS:
        states = [(name, event & ~scard.SCARD_STATE_CHANGED) for name, event, _ in seen
                  if not event & scard.SCARD_STATE_PRESENT]
    check()
scard.SCardReleaseContext(context)
print("\n".join(readers))
PY
}

# Inside the new namespaces: the process with pid 1, root there.
inner() {
  local tmp=$1 uid=$2 gid=$3 virtual_key=$4 key_count=$5
  shift 5
  local keys=("${@:1:key_count}")
  shift "$key_count"
  [ "${1:-}" = -- ] && shift

  local pcscd_pid="" key_pids=() command_pid=""
  # COMMAND first, then the keys (so they do not see vpcd go), then pcscd.
  stop_all() {
    local group
    for group in command keys pcscd; do
      local pids=()
      case $group in
        command) [ -n "$command_pid" ] && pids=("$command_pid") ;;
        keys) pids=("${key_pids[@]}") ;;
        pcscd) [ -n "$pcscd_pid" ] && pids=("$pcscd_pid") ;;
      esac
      [ ${#pids[@]} -gt 0 ] || continue
      kill -TERM "${pids[@]}" 2>/dev/null || true
      # Bounded: the namespace ends with this process and takes the rest with it.
      local tries=0 pid alive=1
      while [ $alive -eq 1 ] && [ $tries -lt 40 ]; do
        alive=0
        for pid in "${pids[@]}"; do
          kill -0 "$pid" 2>/dev/null && alive=1
        done
        [ $alive -eq 1 ] && sleep 0.02
        tries=$((tries + 1))
      done
    done
  }
  # A signal here may mean the script itself was killed outright: then nobody
  # else is left to remove the temporary folder.
  trap 'stop_all; rm -rf -- "$tmp"; exit 143' TERM
  trap 'stop_all; rm -rf -- "$tmp"; exit 130' INT
  trap 'stop_all; rm -rf -- "$tmp"; exit 129' HUP

  ip link set lo up || fail "cannot bring up lo in the network namespace"

  # pcscd in a mount namespace of its own: it always makes /run/pcscd/pcscd.comm.
  local dropdir
  dropdir=$(pcscd --version 2>&1 | sed -n 's/.*usbdropdir=\([^ ]*\).*/\1/p')
  unshare --mount --propagation private -- bash -c '
    set -e
    tmp=$1 drop=$2
    mount --bind "$drop/serial" "$tmp/driver"
    mount -t tmpfs -o mode=0755,size=1m testbed "$drop"
    mkdir "$drop/serial" "$drop/.run" "$drop/.conf"
    mount --bind "$tmp/driver" "$drop/serial"
    umount "$tmp/driver"
    mount --bind "$tmp/run" "$drop/.run"
    cp "$tmp/reader.conf" "$drop/.conf/vpcd"
    if [ ! -d /run/pcscd ]; then
      mount -t tmpfs -o mode=0755,size=1m testbed /run
      mkdir /run/pcscd
    fi
    mount --bind "$drop/.run" /run/pcscd
    exec pcscd --foreground --config "$drop/.conf"
  ' pcscd-namespace "$tmp" "$dropdir" >"$tmp/pcscd.log" 2>&1 &
  pcscd_pid=$!

  local i
  for i in "${!keys[@]}"; do
    "$virtual_key" --config "${keys[$i]}" --vpcd-port "${vpcd_ports[$i]}" &
    key_pids+=($!)
  done

  export PCSCLITE_CSOCK_NAME=$tmp/run/pcscd.comm
  local readers slots waited=0
  slots=$(seq -s ' ' 0 $((key_count - 1)) 2>/dev/null || true)
  # In the background, so that a signal's trap runs at once, not after the wait.
  wait_until_visible "$slots" "$pcscd_pid ${key_pids[*]}" >"$tmp/readers" &
  command_pid=$!
  wait "$command_pid" || waited=$?
  command_pid=""
  if [ "$waited" -ne 0 ]; then
    echo "testbed: pcscd's output:" >&2
    sed 's/^/  /' "$tmp/pcscd.log" >&2
    stop_all
    exit "$testbed_failed"
  fi
  readers=$(cat "$tmp/readers")

  export TESTBED_PCSCD_PID=$pcscd_pid
  export TESTBED_KEY_PIDS="${key_pids[*]}"
  export TESTBED_VPCD_PORTS="${vpcd_ports[*]}"
  export TESTBED_VIRTUAL_KEY=$virtual_key
  export TESTBED_READERS=$readers

  # Background jobs would read /dev/null: hand COMMAND this shell's stdin.
  exec {stdin}<&0
  if [ "$uid" -ne 0 ]; then
    # Back to the user's own ids for COMMAND, in a user namespace of its own.
    unshare --user --map-user="$uid" --map-group="$gid" -- "$@" <&"$stdin" {stdin}<&- &
  else
    "$@" <&"$stdin" {stdin}<&- &
  fi
  command_pid=$!
  local status=0
  wait "$command_pid" || status=$?
  command_pid=""
  stop_all
  exit "$status"
}

if [ "${1:-}" = --inner ]; then
  shift
  inner "$@"
fi

virtual_key="" reader_name="Virtual PCD"
keys=()
while [ $# -gt 0 ]; do
  case "$1" in
    --virtual-key) [ $# -ge 2 ] || usage; virtual_key=$2; shift 2 ;;
    --key) [ $# -ge 2 ] || usage; keys+=("$2"); shift 2 ;;
    --reader-name) [ $# -ge 2 ] || usage; reader_name=$2; shift 2 ;;
    --) shift; break ;;
    -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    *) usage ;;
  esac
done
[ $# -gt 0 ] || usage
[ -n "$virtual_key" ] || usage
[ ${#keys[@]} -le 2 ] || fail "vpcd has two slots: at most two --key"
case "$reader_name" in
  ""|*'"'*|*$'\n'*) fail "--reader-name: a non-empty name without quotes or newlines" ;;
esac

virtual_key=$(realpath -- "$virtual_key")
[ -x "$virtual_key" ] || fail "$virtual_key: not an executable"
for i in "${!keys[@]}"; do
  [ -r "${keys[$i]}" ] || fail "${keys[$i]}: cannot be read"
  keys[$i]=$(realpath -- "${keys[$i]}")
  "$virtual_key" --check --config "${keys[$i]}" || fail "${keys[$i]}: not a key configuration"
done
command -v pcscd >/dev/null || fail "pcscd not found (Debian package pcscd)"
dropdir=$(pcscd --version 2>&1 | sed -n 's/.*usbdropdir=\([^ ]*\).*/\1/p')
[ -e "$dropdir/serial/libifdvpcd.so" ] ||
  fail "no vpcd driver in $dropdir/serial (Debian package vsmartcard-vpcd)"
/usr/bin/python3 -c 'import smartcard.scard' 2>/dev/null ||
  fail "Debian's python3 has no pyscard (Debian package python3-pyscard)"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/testbed.XXXXXX")
chmod 0755 "$tmp"
mkdir "$tmp/run" "$tmp/driver"
cat >"$tmp/reader.conf" <<EOF
FRIENDLYNAME "$reader_name"
DEVICENAME   /dev/null:${vpcd_ports[0]}
LIBPATH      $dropdir/serial/libifdvpcd.so
CHANNELID    ${vpcd_ports[0]}
EOF

namespaces=(--net --pid --mount-proc --propagation slave --kill-child=SIGTERM)
if [ "$(id -u)" -ne 0 ]; then
  namespaces=(--user --map-root-user "${namespaces[@]}")
fi
# setpriv: should this shell be killed outright, unshare follows it, and unshare's
# --kill-child then stops the namespace's first process, which stops the rest.
setpriv --pdeathsig SIGKILL -- unshare "${namespaces[@]}" -- \
  bash "$0" --inner "$tmp" "$(id -u)" "$(id -g)" "$virtual_key" "${#keys[@]}" "${keys[@]}" \
  -- "$@" &
namespace_pid=$!

forward() {
  local first
  first=$(cat "/proc/$namespace_pid/task/$namespace_pid/children" 2>/dev/null || true)
  if [ -n "${first// /}" ]; then
    kill -TERM $first 2>/dev/null || true
  else
    kill -KILL "$namespace_pid" 2>/dev/null || true
  fi
}
trap forward TERM INT HUP

while kill -0 "$namespace_pid" 2>/dev/null; do
  wait "$namespace_pid" 2>/dev/null || true
done
status=0
wait "$namespace_pid" 2>/dev/null || status=$?
rm -rf -- "$tmp"
exit "$status"
