#!/usr/bin/env bash
# Builds the Windows (x86_64, mingw-w64) dependencies of the cross-build once into a cache and
# prints the prefix they are installed in as the last line of stdout. Progress goes to stderr.
#
#   prefix=$(bash scripts/windows/deps.sh)
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DTOVRIN_WINDOWS_DEPS="$prefix"
#
# TOVRIN_WINDOWS_CACHE  the cache folder (default: <repo>/.cache/windows)
#
# Everything comes from Debian: binary packages, and source packages fetched through a private
# apt setup inside the cache (the system's apt configuration is left alone). The prefix is
# <cache>/prefix-<key>, the key a hash of the source packages' versions, the versions of the
# installed packages whose files go into the prefix, and recipe_version below. Each step leaves
# a stamp, so a second run prints the prefix in seconds and an interrupted run resumes.
#
# The prefix holds a shared Qt 5 (Core, Gui, Widgets, Test, Svg; the windows, offscreen and
# minimal platform plugins, the windowsvista style and the SVG image-format and icon-engine
# plugins; the host tools qmake, moc, uic, rcc), static CAF core and io, static GoogleTest and
# GoogleMock, the spdlog, fmt and nlohmann-json headers, and the mingw-w64 runtime DLLs in bin/.
set -euo pipefail

# Bump when a change to this script changes what ends up in the prefix.
recipe_version=2
# Measured on 2 cores with nothing else running (see scripts/windows/README-deps.md).
first_build_minutes=20

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cache=${TOVRIN_WINDOWS_CACHE:-$repo/.cache/windows}
toolchain=$repo/cmake/mingw-w64-x86_64.cmake
jobs=$(nproc)

host_packages=(
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  g++ make cmake perl python3 xz-utils dpkg-dev
  googletest libspdlog-dev libfmt-dev nlohmann-json3-dev
  wine wine64 fonts-wine xvfb xauth
  nsis icoutils zip
)
source_packages=(qtbase-opensource-src qtsvg-opensource-src actor-framework)
header_packages=(libspdlog-dev libfmt-dev nlohmann-json3-dev)
# Installed packages whose files end up in the prefix or shape what is built into it.
keyed_packages=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
                googletest "${header_packages[@]}")
runtime_dlls=(libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)

# What the project needs of qtbase and nothing more: every module, plugin and 3rd-party library
# left out is build time saved on each CI run. Modules: -no-feature-{sql,network,xml,concurrent,
# printer}, -no-dbus, -no-opengl. Unused parts of QtGui and QtWidgets: graphicsview, pdf, movie,
# ODF and markdown. Image formats: png only (built in); svg comes from qtsvg. freetype stays: the
# offscreen platform plugin, which the project's tests use, renders text with it on Windows.
# The +dfsg tarball has no src/3rdparty/wintab, hence -no-feature-tabletevent.
# -no-zstd: the host rcc must not write zstd-compressed resources that the Windows QtCore,
# built without zstd, could not read.
qtbase_options=(
  -opensource -confirm-license
  -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32-
  -release -shared -nomake examples -nomake tests
  -no-pkg-config -no-icu -no-zstd -no-dbus -no-opengl -no-direct2d
  -qt-zlib -qt-libpng -qt-pcre -qt-freetype -qt-harfbuzz -no-libjpeg -no-gif -no-ico
  -no-feature-sql -no-feature-network -no-feature-xml -no-feature-concurrent
  -no-feature-printer -no-feature-vulkan -no-feature-tabletevent
  -no-feature-graphicsview -no-feature-pdf -no-feature-movie -no-feature-textodfwriter
  -no-feature-textmarkdownreader -no-feature-textmarkdownwriter
)

log() { printf '%s\n' "$*" >&2; }
die() { log "deps.sh: $*"; exit 1; }

# 125 -> "2m05s"
duration() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

install_host_packages() {
  local installed missing=() p sudo=()
  installed=$(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "${host_packages[@]}" 2>/dev/null || true)
  for p in "${host_packages[@]}"; do
    grep -qx "$p ii *" <<<"$installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  log "deps: installing ${missing[*]}"
  [[ $(id -u) -eq 0 ]] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >&2
}

apt_private() { APT_CONFIG=$cache/apt/apt.conf "$@"; }

# deb-src lines for the URIs, suites and components of the system's own "deb" entries.
system_deb_src_lines() {
  awk '
    function emit(  nu, ns, u, s, i, j, opt) {
      if (f["types"] ~ /(^| )deb( |$)/ && f["enabled"] != "no") {
        opt = f["signed-by"] != "" ? "[signed-by=" f["signed-by"] "] " : ""
        nu = split(f["uris"], u, " "); ns = split(f["suites"], s, " ")
        for (i = 1; i <= nu; i++) for (j = 1; j <= ns; j++)
          print "deb-src " opt u[i] " " s[j] " " f["components"]
      }
      delete f
    }
    /^#/ { next }
    /^[[:space:]]*$/ { emit(); next }
    { key = tolower($1); sub(/:$/, "", key); $1 = ""; sub(/^ +/, ""); f[key] = $0 }
    END { emit() }
  ' /etc/apt/sources.list.d/debian.sources
}

# A private apt (own sources list, state, lists and cache inside the cache) that knows Debian's
# source packages, so that "apt-get source" works without touching the system's apt setup.
setup_private_apt() {
  local dir=$cache/apt
  mkdir -p "$dir/sources.list.d" "$dir/state/lists/partial" "$dir/cache/archives/partial"
  system_deb_src_lines >"$dir/sources.list"
  [[ -s $dir/sources.list ]] || die "no deb entries in /etc/apt/sources.list.d/debian.sources"
  cat >"$dir/apt.conf" <<EOF
Dir::State "$dir/state";
Dir::State::Lists "$dir/state/lists";
Dir::Cache "$dir/cache";
Dir::Etc::SourceList "$dir/sources.list";
Dir::Etc::SourceParts "$dir/sources.list.d";
APT::Sandbox::User "$(id -un)";
EOF
  # A failed refresh is fine as long as earlier lists are there: the key then stays as it was.
  if ! apt_private apt-get update -qq >"$dir/update.log" 2>&1; then
    compgen -G "$dir/state/lists/*Sources*" >/dev/null ||
      { cat "$dir/update.log" >&2; die "apt-get update of the private apt failed"; }
    log "deps: could not refresh the source package lists; using the ones from before"
  fi
}

# The newest version of a source package that the private apt knows (bookworm, -updates or
# -security), which is also the one fetch_source downloads.
source_version() {
  local best="" v
  while read -r v; do
    if [[ -z $best ]] || dpkg --compare-versions "$v" gt "$best"; then best=$v; fi
  done < <(apt_private apt-cache showsrc --only-source "$1" | sed -n 's/^Version: //p')
  [[ -n $best ]] || die "the private apt knows no source package $1"
  printf '%s\n' "$best"
}

# The text the key is the hash of; kept in the prefix as versions.txt.
describe_inputs() {
  local p
  for p in "${source_packages[@]}"; do printf 'source %s %s\n' "$p" "${source_version_of[$p]}"; done
  dpkg-query -W -f='binary ${Package} ${Version}\n' "${keyed_packages[@]}"
  printf 'recipe %s\n' "$recipe_version"
}

# run_step NAME COMMAND...: runs COMMAND once, in a subshell with its output in logs/NAME.log,
# and leaves a stamp when it succeeds; a failure shows the log's tail and stops the script.
run_step() {
  local name=$1 start=$SECONDS rc
  shift
  if [[ -e $work/stamps/$name ]]; then
    log "deps: $(printf '%-16s' "$name") cached"
    return
  fi
  printf 'deps: %-16s ' "$name" >&2
  set +e
  (set -e; "$@") >"$work/logs/$name.log" 2>&1
  rc=$?
  set -e
  if ((rc != 0)); then
    log "FAILED after $(duration $((SECONDS - start))); the end of $work/logs/$name.log:"
    tail -n 40 "$work/logs/$name.log" >&2
    exit "$rc"
  fi
  touch "$work/stamps/$name"
  log "$(duration $((SECONDS - start)))"
}

# --- steps; each runs in a subshell under set -e, its output going to the step's log ---

# Downloads a source package's files (.dsc, orig and Debian tarballs) into downloads/.
# apt verifies each file it gets against the signed index. actor-framework's Debian tarball is
# gone from the archive (404), which apt-get reports as a failure although the .dsc and the
# orig tarball did arrive: what counts is that the orig tarball is there.
fetch_source() {
  local pkg=$1 version=${source_version_of[$1]}
  cd "$cache/downloads"
  apt_private apt-get source --download-only "$pkg=$version" ||
    echo "apt-get source failed; going on with the files that did arrive"
  orig_tarball "$pkg" >/dev/null
}

orig_tarball() {
  local pkg=$1 version=${source_version_of[$1]} upstream files
  upstream=${version#*:}
  upstream=${upstream%-*}
  files=("$cache/downloads/${pkg}_${upstream}.orig.tar."*)
  [[ -f ${files[0]} ]] || { echo "no orig tarball of $pkg $version" >&2; return 1; }
  printf '%s\n' "${files[0]}"
}

# Unpacks a source package into src/PKG with the Debian patches applied (security fixes among
# them); where the Debian tarball is missing, the plain orig tarball.
unpack_source() {
  local pkg=$1 version=${source_version_of[$1]} dest=$work/src/$1
  rm -rf "$dest"
  mkdir -p "$work/src"
  if ! dpkg-source --no-copy -x "$cache/downloads/${pkg}_${version#*:}.dsc" "$dest"; then
    echo "dpkg-source failed; unpacking the orig tarball without Debian's patches"
    rm -rf "$dest"
    mkdir -p "$dest"
    tar -xf "$(orig_tarball "$pkg")" -C "$dest" --strip-components=1
  fi
}

# Header-only libraries, copied from the installed Debian packages so that the cross-build
# never needs the host's /usr/include; nlohmann-json's CMake package is relocatable and comes too.
copy_headers() {
  dpkg-query -L "${header_packages[@]}" | sed -n 's|^/usr/include/\(.\)|\1|p' |
    tar -C /usr/include --no-recursion -cf - -T - | tar -C "$prefix/include" -xf -
  mkdir -p "$prefix/share/cmake"
  cp -a /usr/share/cmake/nlohmann_json "$prefix/share/cmake/"
}

# The mingw-w64 runtime DLLs every program needs beside it (or on WINEPATH).
copy_runtime_dlls() {
  local dll path
  for dll in "${runtime_dlls[@]}"; do
    path=$(x86_64-w64-mingw32-g++-posix -print-file-name="$dll")
    [[ $path == /* ]] || { echo "the compiler does not know $dll" >&2; return 1; }
    install -m 644 "$path" "$prefix/bin/"
  done
}

qtbase_configure() {
  rm -rf "$work/build/qtbase"
  mkdir -p "$work/build/qtbase"
  cd "$work/build/qtbase"
  # MAKEFLAGS: configure builds qmake first, in parallel this way.
  MAKEFLAGS=-j$jobs "$work/src/qtbase-opensource-src/configure" -prefix "$prefix" "${qtbase_options[@]}"
}

qtbase_build() { make -C "$work/build/qtbase" -j"$jobs"; }

qtbase_install() {
  local tool
  make -C "$work/build/qtbase" install
  # Qt5's CMake files point AUTOMOC/AUTOUIC/AUTORCC at these host programs.
  for tool in qmake moc uic rcc; do
    [[ -x $prefix/bin/$tool ]] || { echo "no host tool $prefix/bin/$tool" >&2; return 1; }
  done
  rm -rf "$work/build/qtbase" "$work/src/qtbase-opensource-src"
}

qtsvg() {
  mkdir -p "$work/build/qtsvg"
  cd "$work/build/qtsvg"
  "$prefix/bin/qmake" "$work/src/qtsvg-opensource-src/qtsvg.pro"
  make -j"$jobs"
  make install
  rm -rf "$work/build/qtsvg" "$work/src/qtsvg-opensource-src"
}

# Static CAF core and io (CAF supports nothing else on Windows), as C++17 like the project.
# "-include limits": 0.17.6 uses std::numeric_limits without including <limits>, which GCC 12's
# headers no longer bring in. CAF_NO_THREAD_LOCAL: with mingw-w64, the thread_local logger
# pointers of the worker threads are not reliably released at thread exit, so ~actor_system()
# waits forever for the logger (6 of 34 runs of a test program under Wine); the pthread-key
# variant did not hang in 230 shutdowns. It only changes logger.cpp, not the headers.
# No CMake package: users link ws2_32, iphlpapi and psapi themselves.
caf() {
  local src=$work/src/actor-framework build=$work/build/caf
  cmake -S "$src" -B "$build" -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DTOVRIN_WINDOWS_DEPS="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_CXX_FLAGS="-std=c++17 -include limits -DCAF_NO_THREAD_LOCAL" \
    -DCAF_BUILD_STATIC_ONLY=ON -DCAF_NO_OPENSSL=ON -DCAF_NO_OPENCL=ON -DCAF_NO_PYTHON=ON \
    -DCAF_NO_EXAMPLES=ON -DCAF_NO_UNIT_TESTS=ON -DCAF_NO_TOOLS=ON
  cmake --build "$build" -j"$jobs"
  cmake --install "$build"
  # The names the project's find_library(caf_core)/(caf_io) look for, as on Linux.
  mv "$prefix/lib/libcaf_core_static.a" "$prefix/lib/libcaf_core.a"
  mv "$prefix/lib/libcaf_io_static.a" "$prefix/lib/libcaf_io.a"
  rm -rf "$build" "$src"
}

googletest() {
  local build=$work/build/googletest
  cmake -S /usr/src/googletest -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DTOVRIN_WINDOWS_DEPS="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
  cmake --build "$build" -j"$jobs"
  cmake --install "$build"
  rm -rf "$build"
}

main() {
  local total=$SECONDS key inputs p
  install_host_packages
  mkdir -p "$cache/downloads"
  # One run at a time per cache.
  exec 9>"$cache/lock"
  flock 9

  setup_private_apt
  declare -gA source_version_of
  for p in "${source_packages[@]}"; do source_version_of[$p]=$(source_version "$p"); done
  inputs=$(describe_inputs)
  key=$(sha256sum <<<"$inputs" | cut -c1-12)
  prefix=$cache/prefix-$key
  work=$cache/work-$key
  [[ -d $work/stamps ]] ||
    log "deps: first build of $prefix: takes about $first_build_minutes minutes on 2 cores, more on a busy machine"
  mkdir -p "$prefix/bin" "$prefix/include" "$prefix/lib" "$work/stamps" "$work/logs"
  printf '%s\n' "$inputs" >"$prefix/versions.txt"

  # The Qt build calls x86_64-w64-mingw32-gcc/g++ by name (CROSS_COMPILE): point those names
  # at the -posix compilers without changing the system's alternatives.
  mkdir -p "$work/bin"
  ln -sf /usr/bin/x86_64-w64-mingw32-gcc-posix "$work/bin/x86_64-w64-mingw32-gcc"
  ln -sf /usr/bin/x86_64-w64-mingw32-g++-posix "$work/bin/x86_64-w64-mingw32-g++"
  export PATH=$work/bin:$PATH
  # The caller's compiler flags are for host builds; keep them out of these.
  unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS MAKEFLAGS

  run_step headers copy_headers
  run_step runtime-dlls copy_runtime_dlls
  run_step qtbase-fetch fetch_source qtbase-opensource-src
  run_step qtbase-unpack unpack_source qtbase-opensource-src
  run_step qtbase-configure qtbase_configure
  run_step qtbase-build qtbase_build
  run_step qtbase-install qtbase_install
  run_step qtsvg-fetch fetch_source qtsvg-opensource-src
  run_step qtsvg-unpack unpack_source qtsvg-opensource-src
  run_step qtsvg qtsvg
  run_step caf-fetch fetch_source actor-framework
  run_step caf-unpack unpack_source actor-framework
  run_step caf caf
  run_step googletest googletest

  log "deps: ready in $(duration $((SECONDS - total))): $prefix ($(du -sh "$prefix" | cut -f1))"
  printf '%s\n' "$prefix"
}

main "$@"
