#!/usr/bin/env bash
# Cross-builds qartool.exe and sprtool.exe for 64-bit Windows with Debian's
# mingw-w64 compilers and runs the whole test suite under wine.
#
# Installs what is missing (Debian packages only), builds LZO and TinyXML-2
# from Debian's source packages and GoogleTest from the sources Debian
# installs, once, into build-windows/deps/ (QAR_WINDOWS_DEPS moves that cache),
# next to the RapidJSON headers of Debian's rapidjson-dev.
# The programs land in build-windows/bin/, and the release zip with both
# programs, the README and LICENSE in build-windows/qar-tools-<version>-win64.zip.
# Usage: scripts/test-windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
out="$root/build-windows"
deps="${QAR_WINDOWS_DEPS:-$out/deps}"
mkdir -p "$deps"
deps="$(cd "$deps" && pwd)"
prefix="$deps/prefix"
toolchain="$root/cmake/mingw-w64-x86_64.cmake"
jobs="$(nproc)"

bash scripts/deps.sh g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev rapidjson-dev libstb-dev

export WINEDEBUG=-all
export WINEPREFIX="$out/wine"
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko prompts in a new prefix
# Each process start costs more under wine: fewer kill trials than on Linux.
# They run on their own after the rest (below), so that the moments they
# pick, measured against an undisturbed run, still land inside the work.
export QAR_KILL_TRIALS="${QAR_KILL_TRIALS:-6}"
export QAR_COMPACT_KILL_TRIALS="${QAR_COMPACT_KILL_TRIALS:-5}"

# Debian's source packages through a private apt folder: the machine's own
# sources stay as they are, with deb-src entries added only here.
fetch_sources() {
  local apt="$deps/apt"
  mkdir -p "$apt/parts" "$apt/lists/partial" "$deps/src"
  rm -f "$apt/parts/"*
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      > "$apt/parts/debian-src.sources"
  fi
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb \(.*debian.*\)/deb-src \1/p' /etc/apt/sources.list > "$apt/parts/debian-src.list"
  fi
  local opts=(-o Dir::Etc::sourceparts="$apt/parts" -o Dir::Etc::sourcelist=/dev/null
              -o Dir::State::Lists="$apt/lists" -o APT::Sandbox::User=root)
  apt-get "${opts[@]}" -qq update
  (cd "$deps/src" && apt-get "${opts[@]}" -qq source lzo2 tinyxml2 >/dev/null)
}

# Configures, builds and installs one CMake project into the prefix.
build_dep() {
  local name="$1" src="$2"
  shift 2
  cmake -S "$src" -B "$deps/build/$name" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DQAR_WINDOWS_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF "$@" >/dev/null
  cmake --build "$deps/build/$name" -j"$jobs" >/dev/null
  cmake --install "$deps/build/$name" >/dev/null
}

# The stamp names what was built, so a change here rebuilds the cache.
stamp="$prefix/.built-lzo2-tinyxml2-gtest-1"
if [ ! -f "$stamp" ]; then
  echo "Building the Windows libraries into $deps"
  rm -rf "$deps/src" "$deps/build" "$prefix"
  fetch_sources
  build_dep lzo "$(ls -d "$deps"/src/lzo2-*/)" -DENABLE_STATIC=ON -DENABLE_SHARED=OFF
  build_dep tinyxml2 "$(ls -d "$deps"/src/tinyxml2-*/)" -Dtinyxml2_BUILD_TESTING=OFF
  build_dep googletest /usr/src/googletest -DBUILD_GMOCK=OFF -Dgtest_disable_pthreads=OFF
  touch "$stamp"
fi
# RapidJSON and stb's image loader and writer are headers only: Debian's own,
# as rapidjson-dev and libstb-dev install them.
for headers in rapidjson stb; do
  if [ ! -d "$prefix/include/$headers" ]; then
    mkdir -p "$prefix/include"
    cp -r "/usr/include/$headers" "$prefix/include/"
  fi
done

# A wine prefix made once, and a wine server that stays up for the whole run:
# test discovery starts every test program, and a cold start each time takes
# longer than discovery waits.
wineserver -k >/dev/null 2>&1 || true
mkdir -p "$WINEPREFIX"  # wineserver refuses a prefix folder that does not exist yet
wineserver -p >/dev/null 2>&1 </dev/null
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then echo "Making the wine prefix $WINEPREFIX"; fi
wineboot -i >/dev/null 2>&1 </dev/null

PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig:$prefix/share/pkgconfig" \
  cmake -S . -B "$out" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQAR_WINDOWS_PREFIX="$prefix" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out" -j"$jobs"
ctest --test-dir "$out" --output-on-failure -j"$jobs"

(cd "$out" && cpack -G ZIP >/dev/null)
zip="$(ls "$out"/qar-tools-*-win64.zip)"
contents="$(cd "$out" && cmake -E tar tf "$zip" | sort | tr '\n' ' ')"
if [ "$contents" != "LICENSE README.md qartool.exe sprtool.exe " ]; then
  echo "$zip holds: $contents" >&2
  exit 1
fi
echo "Packed $zip"
