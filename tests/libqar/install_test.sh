#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds the README's example
# (examples/qar_list.c) against the installed files only: with pkg-config (shared and
# static) and with CMake's find_package(qar). Each program lists an archive made by
# qartool and writes one of its records; a wrong password is refused with its reason.
# Usage: install_test.sh BUILD_DIR EXAMPLE QARTOOL
set -euo pipefail
build="$1" example="$2" qartool="$3"
s="$(mktemp -d)"
trap 'rm -rf "$s"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$s/prefix" > /dev/null || fail "cmake --install failed"
export PKG_CONFIG_PATH="$(dirname "$(find "$s/prefix" -name qar.pc)")"
lib_dir="$(dirname "$PKG_CONFIG_PATH")"
mkdir "$s/data" "$s/app"
printf 'hello from the archive\n' > "$s/data/hello.txt"
(cd "$s/data" && "$qartool" -p secret a game.qar hello.txt > /dev/null) || fail "qartool a failed"
check() {  # PROGRAM
    out="$("$1" "$s/data/game.qar" secret hello.txt)" || fail "$1 failed: $out"
    grep -q '^hello.txt ' <<< "$out" || fail "$1 did not list hello.txt: $out"
    grep -q '^hello from the archive$' <<< "$out" || fail "$1 did not write the record: $out"
    out="$("$1" "$s/data/game.qar" wrong 2>&1)" && fail "$1 opened with a wrong password"
    grep -q 'key does not match' <<< "$out" || fail "$1 gave no reason for the wrong key: $out"
}

# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror "$example" $(pkg-config --cflags --libs qar) -o "$s/shared" ||
    fail "the example does not build with pkg-config"
LD_LIBRARY_PATH="$lib_dir" check "$s/shared"
# The static library by its path, with what pkg-config --static adds for it.
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror "$example" $(pkg-config --static --cflags --libs qar |
    sed "s|-lqar\b|$lib_dir/libqar.a|") -o "$s/static" || fail "the example does not build with the static library"
ldd "$s/static" | grep -q libqar && fail "the static build links the shared library"
check "$s/static"

cp "$example" "$s/app/"
printf 'cmake_minimum_required(VERSION 3.16)\nproject(app C)\nfind_package(qar 1 REQUIRED)\n%s\n%s\n' \
    "add_executable(app $(basename "$example"))" "target_link_libraries(app qar::qar)" > "$s/app/CMakeLists.txt"
cmake -S "$s/app" -B "$s/app/build" -DCMAKE_PREFIX_PATH="$s/prefix" > /dev/null || fail "find_package(qar) failed"
cmake --build "$s/app/build" > /dev/null || fail "the example does not build with CMake"
check "$s/app/build/app"
echo "the example builds and runs with pkg-config, the static library and CMake"
