#!/usr/bin/env bash
# Tests the Windows build under Wine, in a fresh WINEPREFIX, inside a network
# namespace of its own (port 12900 and the service's sockets are private):
#   1. the unit tests (GoogleTest; the widget tests on Qt's offscreen platform),
#   2. the executables' PE headers and resources,
#   3. the release from the unpacked zip: the simulator and the app in a window
#      on Xvfb (its code equals oathtool's, its trace lines equal the Linux app's),
#      the Linux app against the Windows simulator and the other way round,
#      fido-otp-service.exe (both apps, another account refused, one per port),
#      and the installer (which starts the service) and its uninstaller.
# Run scripts/windows/build.sh first.
# Usage: scripts/windows/test.sh
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$repo"

if [ "${TOVRIN_WINE_NETNS:-}" != 1 ]; then
  # Root gets a network namespace; a regular user gets one with a user namespace.
  if [ "$(id -u)" -eq 0 ]; then netns=(unshare --net); else netns=(unshare --user --map-root-user --net); fi
  exec env TOVRIN_WINE_NETNS=1 "${netns[@]}" bash "$0" "$@"
fi
ip link set lo up

build=$repo/build-windows
prefix=$(sed -n 's/^TOVRIN_WINDOWS_DEPS:PATH=//p' "$build/CMakeCache.txt")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
dist=$repo/dist/windows/tovrin-authenticator-$version-windows-x64
[ -f "$dist.zip" ] && [ -f "$dist-setup.exe" ] ||
  { echo "test.sh: no $dist.zip or setup: run scripts/windows/build.sh first" >&2; exit 1; }
linux_build=${TOVRIN_LINUX_BUILD:-$repo/build-test}
[ -x "$linux_build/app/tovrin-authenticator" ] ||
  { echo "test.sh: no Linux build in $linux_build (scripts/test.sh makes it)" >&2; exit 1; }

scratch=$(mktemp -d)
export WINEPREFIX=$scratch/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export PATH=/usr/lib/wine:$PATH
cleanup() {
  wineserver -k 2>/dev/null || true
  [ -z "${xvfb:-}" ] || kill "$xvfb" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

start=$SECONDS
# The display every Wine program of this run uses: Wine's desktop process
# takes the DISPLAY of the first program that starts it.
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp 5>"$scratch/display" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$scratch/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$scratch/display")
# The programs' windows are looked at on that display (the unit tests below
# ask for the offscreen platform themselves).
unset QT_QPA_PLATFORM
echo "== a fresh Wine prefix"
# One server for all the runs below (it would stop after each program).
mkdir -p "$WINEPREFIX"
wineserver -p
wineboot -i >/dev/null 2>&1
# Wine's own Tahoma (fonts-wine), which the forms ask for; without it Wine
# falls back to a serif face.
cp /usr/share/wine/fonts/tahoma*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
echo "   $((SECONDS - start)) s"

status=0
echo "== unit tests under Wine"
QT_QPA_PLATFORM=offscreen QT_PLUGIN_PATH="Z:$prefix/plugins" \
  ctest --test-dir "$build" --output-on-failure --timeout 600 || status=1

echo "== the executables"
python3 tests/windows/test_executables.py "$build/app/tovrin-authenticator.exe" \
  "$build/service/sim/fido-otp-sim.exe" || status=1

echo "== the release, from the zip and the installer"
python3 tests/windows/test_package.py "$dist.zip" "$dist-setup.exe" \
  "$linux_build/app/tovrin-authenticator" "$linux_build/service/sim/fido-otp-sim" \
  "$linux_build/tests/support/fido_client" || status=1

echo "== Windows tests done in $((SECONDS - start)) s: $([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
