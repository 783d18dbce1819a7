#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds the README's example
# (examples/qar_list.c) against the installed files only: with pkg-config
# (shared and static) and with CMake's find_package(qar). Each program lists
# an archive made by qartool and writes one of its records.
# Usage: install_test.sh BUILD_DIR EXAMPLE QARTOOL
set -euo pipefail
build="$1" example="$2" qartool="$3"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix="$scratch/prefix"
cmake --install "$build" --prefix "$prefix" > /dev/null || fail "cmake --install failed"
pc_dir="$(dirname "$(find "$prefix" -name qar.pc)")"
lib_dir="$(dirname "$pc_dir")"

mkdir "$scratch/data"
printf 'hello from the archive\n' > "$scratch/data/hello.txt"
(cd "$scratch/data" && "$qartool" -p secret a game.qar hello.txt > /dev/null) || fail "qartool a failed"

# The listing names the record; the record itself follows.
check() {  # PROGRAM
    out="$("$1" "$scratch/data/game.qar" secret hello.txt)" || fail "$1 failed: $out"
    grep -q '^hello.txt ' <<< "$out" || fail "$1 did not list hello.txt: $out"
    grep -q '^hello from the archive$' <<< "$out" || fail "$1 did not write the record: $out"
    out="$("$1" "$scratch/data/game.qar" wrong 2>&1)" && fail "$1 opened with a wrong password"
    grep -q 'key does not match' <<< "$out" || fail "$1 gave no reason for the wrong key: $out"
}

export PKG_CONFIG_PATH="$pc_dir"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror "$example" $(pkg-config --cflags --libs qar) \
    -o "$scratch/shared" || fail "the example does not build with pkg-config"
LD_LIBRARY_PATH="$lib_dir" check "$scratch/shared"
# The static library by its path, with what pkg-config --static adds for it.
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror "$example" $(pkg-config --static --cflags --libs qar |
    sed "s|-lqar\b|$lib_dir/libqar.a|") -o "$scratch/static" ||
    fail "the example does not build with the static library"
ldd "$scratch/static" | grep -q libqar && fail "the static build links the shared library"
check "$scratch/static"

mkdir "$scratch/app"
cp "$example" "$scratch/app/"
cat > "$scratch/app/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.16)
project(app C)
find_package(qar 1 REQUIRED)
add_executable(app $(basename "$example"))
target_link_libraries(app qar::qar)
CMAKE
cmake -S "$scratch/app" -B "$scratch/app/build" -DCMAKE_PREFIX_PATH="$prefix" > /dev/null ||
    fail "find_package(qar) failed"
cmake --build "$scratch/app/build" > /dev/null || fail "the example does not build with CMake"
check "$scratch/app/build/app"
echo "the example builds and runs with pkg-config, the static library and CMake"
