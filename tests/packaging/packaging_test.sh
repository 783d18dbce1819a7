#!/usr/bin/env bash
# Checks of the tools as users meet them: help and version, manual pages,
# bash completions, `cmake --install` and the .debs. One check per run,
#   packaging_test.sh CHECK ARGS...
# prints what went wrong and exits 1, or exits 0 silently.
set -euo pipefail
check="$1"
shift

fail() {
    printf 'FAILED: %s\n' "$*" >&2
    exit 1
}

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

# The commands of a tool's usage text ("  a: Add files to qar"), one a line, sorted.
usage_commands() { "$1" --help | sed -n 's/^  \([a-z][a-z]*\): .*/\1/p' | sort; }

# What COMPLETION offers for the last of the words after it, sorted, on one line.
completes() {
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
             "_$1"; printf "%s\n" "${COMPREPLY[@]}"' sh "$@" | sort | xargs
}

# The .deb of package $2 in the folder $1.
deb_of() {
    for deb in "$1"/*.deb; do
        [ "$(dpkg-deb -f "$deb" Package)" = "$2" ] && { echo "$deb"; return 0; }
    done
    fail "no package $2 in $1"
}

# Unpacks packages of folder $1 into $scratch/root, the linker pointed at its
# library, and makes $scratch/game.qar of data/hello.txt with its qartool.
unpack_and_add() {
    local dir="$1" package library
    shift
    for package in "$@"; do
        dpkg -x "$(deb_of "$dir" "$package")" "$scratch/root" || fail "dpkg -x could not unpack $package"
    done
    library="$(find "$scratch/root" -name 'libqar.so.*' -print -quit)"
    [ -n "$library" ] || fail "no libqar.so.N in the unpacked packages"
    export LD_LIBRARY_PATH="$(dirname "$library")"
    mkdir "$scratch/data"
    echo "hello from the package" > "$scratch/data/hello.txt"
    (cd "$scratch" && root/usr/bin/qartool -p pw a game.qar data > /dev/null) ||
        fail "the unpacked qartool could not add a file"
}

case "$check" in
help_prints_usage_with_status_0)  # TOOL; words after the option never make it a command line
    expected="$("$1" 2>&1 || true)"  # the usage text of a bare call
    for args in "-h" "--help" "-h l game.qar" "--help x game.qar"; do
        status=0
        out="$("$1" $args 2>&1)" || status=$?
        [ "$status" -eq 0 ] || fail "$(basename "$1") $args exited with status $status"
        [ "$out" = "$expected" ] || fail "$(basename "$1") $args printed, instead of the usage text:"$'\n'"$out"
    done
    ;;

version_prints_name_and_project_version)  # TOOL VERSION
    out="$("$1" --version 2>&1)" || fail "$(basename "$1") --version exited with status $?"
    [ "$out" = "$(basename "$1") $2" ] || fail "$(basename "$1") --version printed \"$out\", expected version $2"
    ;;

help_after_an_option_is_an_unknown_option)  # QARTOOL
    status=0
    err="$("$1" -p secret --help l x.qar 2>&1 >/dev/null)" || status=$?
    [ "$status" -eq 1 ] || fail "qartool -p secret --help exited with status $status, expected 1"
    [ "$err" = 'ERROR: unknown option "--help"' ] || fail "qartool -p secret --help said: $err"
    ;;

man_page_is_lint_clean)  # PAGE
    command -v groff > /dev/null || fail "groff is missing (scripts/deps.sh installs groff-base)"
    warnings="$(groff -man -ww -z "$1" 2>&1)"
    [ -z "$warnings" ] || fail "groff -man -ww -z $1 reports:"$'\n'"$warnings"
    ;;

man_page_describes_every_command)  # TOOL PAGE: an item of COMMANDS (.B or .BR) for each
    section="$(sed -n '/^\.SH COMMANDS/,/^\.SH [^C]/p' "$2")"
    missing=()
    while read -r command; do
        grep -q -E "^\.BR? (.* )?\"?$command\"?( |,|\$)" <<< "$section" || missing+=("$command")
    done < <(usage_commands "$1")
    [ ${#missing[@]} -eq 0 ] || fail "$2 has no COMMANDS item for: ${missing[*]} (from --help)"
    ;;

completion_offers_the_usage_commands)  # TOOL COMPLETION
    offered="$(completes "$2" "$(basename "$1")" "")"
    expected="$(usage_commands "$1" | xargs)"
    [ "$offered" = "$expected" ] || fail "$2 offers commands: $offered; the usage text has: $expected"
    ;;

completion_offers_archives_then_files)  # COMPLETION (qartool)
    mkdir -p "$scratch/data"
    touch "$scratch/game.qar" "$scratch/notes.txt"
    cd "$scratch"
    got="$(completes "$1" qartool -p pw x "")"
    [ "$got" = "data game.qar" ] || fail "for the archive of x it offers \"$got\", expected \"data game.qar\""
    got="$(completes "$1" qartool a game.qar "")"
    [ "$got" = "data game.qar notes.txt" ] || fail "for the files of a it offers \"$got\""
    got="$(completes "$1" qartool -p "")"
    [ -z "$got" ] || fail "for the password of -p it offers \"$got\", expected nothing"
    ;;

install_gives_the_tools_the_library_and_the_module)  # BUILD_DIR [PYTHON_MODULE_FILE]
    cmake --install "$1" --prefix "$scratch/root" > /dev/null || fail "cmake --install $1 failed"
    # The CMake package's per-configuration file carries the build type.
    got="$(cd "$scratch/root" && find . -type f -o -type l | sed 's/qarTargets-.*\.cmake/qarTargets-CONFIG.cmake/' | sort)"
    expected="$( {
        cat "$(dirname "$0")/golden/installed_files.txt"
        [ $# -lt 2 ] || printf '%s\n' ./lib/python3/dist-packages/qar/__init__.py "./lib/python3/dist-packages/qar/$2"
    } | sort)"
    [ "$got" = "$expected" ] || fail "cmake --install gave:"$'\n'"$got"$'\n'"expected:"$'\n'"$expected"
    ;;

deb_make)  # BUILD_DIR DEB_DIR: the packages the other deb checks look into
    rm -rf "$2"
    mkdir -p "$2"
    log="$(cd "$2" && cpack -G DEB --config "$1/CPackConfig.cmake" -B "$2" 2>&1)" ||
        fail "cpack -G DEB failed:"$'\n'"$log"
    ;;

deb_depends_on)  # DEB_DIR PACKAGE DEPENDENCY...: each named in the package's Depends
    deb="$(deb_of "$1" "$2")"
    depends="$(dpkg-deb -f "$deb" Depends)"
    shift 2
    for dependency in "$@"; do
        grep -qF "$dependency" <<< "$depends" || fail "$(basename "$deb") Depends lacks $dependency: $depends"
    done
    ;;

deb_holds_its_share)  # DEB_DIR: each package holds its part of the files and no other's
    # (python3-qar's module: deb_python_module_reads_from_unpacked_root)
    holds() { dpkg-deb -c "$(deb_of "$1" "$2")" | awk '$1 !~ /^d/ {print $6}' | grep -v '^\./usr/share/doc/'; }
    lib="$(holds "$1" libqar1)"
    dev="$(holds "$1" libqar-dev)"
    tools="$(holds "$1" qar-tools)"
    grep -qE '/libqar\.so\.[0-9]+$' <<< "$lib" || fail "libqar1 has no libqar.so.N: $lib"
    ! grep -vqE '/libqar\.so\.[0-9.]+$' <<< "$lib" || fail "libqar1 holds more than the library: $lib"
    for file in /include/qar/qar.h /libqar.so /libqar.a /pkgconfig/qar.pc /cmake/qar/; do
        grep -qF "$file" <<< "$dev" || fail "libqar-dev has no $file: $dev"
    done
    ! grep -qE '\.so\.[0-9]' <<< "$dev" || fail "libqar-dev holds the shared library itself: $dev"
    ! grep -qE 'libqar|/include/|python' <<< "$tools" || fail "qar-tools holds library files: $tools"
    ;;

deb_tools_run_from_unpacked_root)  # DEB_DIR
    unpack_and_add "$1" qar-tools libqar1
    bin="$scratch/root/usr/bin"
    mkdir "$scratch/out"
    (cd "$scratch/out" && "$bin/qartool" -p pw x ../game.qar > /dev/null) ||
        fail "the unpacked qartool could not extract"
    cmp -s "$scratch/data/hello.txt" "$scratch/out/hello.txt" ||
        fail "the unpacked qartool did not give the file back"
    printf '"hero"  chars_01  1 2 3 4 0x5\n' > "$scratch/in.txt"
    "$bin/sprtool" wt "$scratch/t.stb" "$scratch/in.txt" || fail "the unpacked sprtool wt failed"
    [ "$(stat -c %s "$scratch/t.stb")" = 52 ] || fail "the unpacked sprtool wrote no 52-byte record"
    ;;

deb_python_module_reads_from_unpacked_root)  # DEB_DIR PYTHON
    unpack_and_add "$1" qar-tools libqar1 python3-qar
    got="$(PYTHONPATH="$scratch/root/usr/lib/python3/dist-packages" "$2" -c '
import sys, qar
with qar.open(sys.argv[1], password="pw") as a:
    sys.stdout.write(a.read("hello.txt").decode())' "$scratch/game.qar")" ||
        fail "the unpacked module could not read the archive"
    [ "$got" = "hello from the package" ] || fail "the unpacked module read \"$got\""
    ;;

*)
    fail "unknown check $check"
    ;;
esac
