#!/usr/bin/env bash
# Packs a Windows build into dist/windows/: the folder the zip holds
# (tovrin-authenticator-<version>-windows-x64/), the zip, and the NSIS
# installer. The version is the project's (CMake's project(VERSION)), as in
# the Debian package.
# Usage: scripts/windows/package.sh BUILD PREFIX
#   BUILD   the cross-build folder (scripts/windows/build.sh's build-windows)
#   PREFIX  the dependency prefix it was built against (scripts/windows/deps.sh)
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "$1" && pwd)
prefix=$2

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[[ -n $version ]] || { echo "package.sh: no project version in $build/CMakeCache.txt" >&2; exit 1; }
name=tovrin-authenticator-$version-windows-x64
dist=$repo/dist/windows
stage=$dist/$name
rm -rf "$stage" "$dist/$name.zip" "$dist/$name-setup.exe"
mkdir -p "$stage/platforms" "$stage/imageformats" "$stage/iconengines" "$stage/styles" \
         "$stage/examples"

install -m 755 "$build/app/tovrin-authenticator.exe" "$build/service/pcsc/fido-otp-service.exe" \
  "$build/service/sim/fido-otp-sim.exe" "$stage/"
# What the programs load: Qt and the mingw-w64 runtime beside them, Qt's
# plugins in the folders Qt looks in next to the executable.
for dll in Qt5Core Qt5Gui Qt5Widgets Qt5Svg libstdc++-6 libgcc_s_seh-1 libwinpthread-1; do
  install -m 644 "$prefix/bin/$dll.dll" "$stage/"
done
install -m 644 "$prefix/plugins/platforms/qwindows.dll" "$stage/platforms/"
install -m 644 "$prefix/plugins/imageformats/qsvg.dll" "$stage/imageformats/"
install -m 644 "$prefix/plugins/iconengines/qsvgicon.dll" "$stage/iconengines/"
install -m 644 "$prefix/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
install -m 644 "$repo"/service/sim/examples/*.json "$stage/examples/"
sed "s/@VERSION@/$version/g" "$repo/scripts/windows/README.txt.in" | sed 's/$/\r/' >"$stage/README.txt"

(cd "$dist" && zip -qr9 "$name.zip" "$name")
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DICON="$repo/resources/windows/app.ico" \
  -DOUTFILE="$dist/$name-setup.exe" \
  "$repo/scripts/windows/installer.nsi" >&2
echo "$dist/$name.zip"
echo "$dist/$name-setup.exe"
