#!/usr/bin/env bash
# Checks of the tools as users meet them: help and version, manual pages,
# bash completions, `cmake --install` and the .deb. One check per run:
#
#   packaging_test.sh CHECK ARGS...
#
# Each check prints what went wrong and exits 1, or exits 0 silently.
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
usage_commands() {
    "$1" --help | sed -n 's/^  \([a-z][a-z]*\): .*/\1/p' | sort
}

# The .deb of a package in a folder of packages.
deb_of() {
    local deb
    for deb in "$1"/*.deb; do
        [ "$(dpkg-deb -f "$deb" Package)" = "$2" ] && { echo "$deb"; return 0; }
    done
    fail "no package $2 in $1"
}

# Unpacks packages into $scratch/root, with the linker pointed at its library.
unpack_root() {
    local dir="$1" package
    shift
    for package in "$@"; do
        dpkg -x "$(deb_of "$dir" "$package")" "$scratch/root" || fail "dpkg -x could not unpack $package"
    done
    local library
    library="$(find "$scratch/root" -name 'libqar.so.*' -print -quit)"
    [ -n "$library" ] || fail "no libqar.so.N in the unpacked packages"
    export LD_LIBRARY_PATH="$(dirname "$library")"
}

# $scratch/game.qar, made by the unpacked qartool in BIN from $scratch/data/hello.txt.
make_unpacked_archive() {
    mkdir -p "$scratch/data"
    echo "hello from the package" > "$scratch/data/hello.txt"
    (cd "$scratch" && "$1/qartool" -p pw a game.qar data > /dev/null) ||
        fail "the unpacked qartool could not add a file"
}

# The words a tool's completion offers for its first argument, one a line, sorted.
completed_commands() {
    local completion="$1" tool="$2"
    bash -c 'source "$1"; COMP_WORDS=("$2" ""); COMP_CWORD=1; "_$2"; printf "%s\n" "${COMPREPLY[@]}"' \
        sh "$completion" "$tool" | sort
}

case "$check" in
help_prints_usage_with_status_0)  # TOOL
    tool="$1"
    expected="$("$tool" 2>&1 || true)"  # the usage text a bare call prints
    # With words after it too: those never turn it into a command line.
    for args in "-h" "--help" "-h l game.qar" "--help x game.qar"; do
        status=0
        out="$("$tool" $args 2>&1)" || status=$?
        [ "$status" -eq 0 ] || fail "$(basename "$tool") $args exited with status $status"
        [ "$out" = "$expected" ] ||
            fail "$(basename "$tool") $args printed:"$'\n'"$out"$'\n'"instead of the usage text:"$'\n'"$expected"
    done
    ;;

version_prints_name_and_project_version)  # TOOL VERSION
    tool="$1" version="$2"
    status=0
    out="$("$tool" --version 2>&1)" || status=$?
    [ "$status" -eq 0 ] || fail "$(basename "$tool") --version exited with status $status"
    [ "$out" = "$(basename "$tool") $version" ] ||
        fail "$(basename "$tool") --version printed \"$out\", expected \"$(basename "$tool") $version\""
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

man_page_describes_every_command)  # TOOL PAGE
    tool="$1" page="$2"
    # The items of the COMMANDS section: the first word after .B or .BR.
    section="$(sed -n '/^\.SH COMMANDS/,/^\.SH [^C]/p' "$page")"
    missing=()
    while read -r command; do
        grep -q -E "^\.BR? (.* )?\"?$command\"?( |,|\$)" <<< "$section" || missing+=("$command")
    done < <(usage_commands "$tool")
    [ ${#missing[@]} -eq 0 ] ||
        fail "$page has no COMMANDS item for: ${missing[*]} (from $(basename "$tool") --help)"
    ;;

completion_offers_the_usage_commands)  # TOOL COMPLETION
    tool="$1" completion="$2"
    offered="$(completed_commands "$completion" "$(basename "$tool")")"
    expected="$(usage_commands "$tool")"
    [ "$offered" = "$expected" ] ||
        fail "$completion offers commands: $(echo $offered); the usage text has: $(echo $expected)"
    ;;

completion_offers_archives_then_files)  # COMPLETION (qartool)
    mkdir -p "$scratch/work/data"
    touch "$scratch/work/game.qar" "$scratch/work/notes.txt"
    offered() {
        (cd "$scratch/work" && bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1));
                                        _qartool; printf "%s\n" "${COMPREPLY[@]}"' sh "$@" | sort | xargs)
    }
    got="$(offered "$1" qartool -p pw x "")"
    [ "$got" = "data game.qar" ] || fail "for the archive of x it offers \"$got\", expected \"data game.qar\""
    got="$(offered "$1" qartool a game.qar "")"
    [ "$got" = "data game.qar notes.txt" ] || fail "for the files of a it offers \"$got\""
    got="$(offered "$1" qartool -p "")"
    [ -z "$got" ] || fail "for the password of -p it offers \"$got\", expected nothing"
    ;;

install_gives_the_tools_the_library_and_the_module)  # BUILD_DIR [PYTHON_MODULE_FILE]
    cmake --install "$1" --prefix "$scratch/root" > /dev/null || fail "cmake --install $1 failed"
    # The CMake package's per-configuration file carries the build type.
    got="$(cd "$scratch/root" && find . -type f -o -type l | sed 's/qarTargets-.*\.cmake/qarTargets-CONFIG.cmake/' | sort)"
    expected="$( {
        printf '%s\n' ./bin/qartool ./bin/sprtool ./include/qar/qar.h \
            ./lib/cmake/qar/qarConfig.cmake ./lib/cmake/qar/qarConfigVersion.cmake \
            ./lib/cmake/qar/qarTargets-CONFIG.cmake ./lib/cmake/qar/qarTargets.cmake \
            ./lib/libqar.a ./lib/libqar.so ./lib/libqar.so.1 ./lib/libqar.so.1.0.0 \
            ./lib/pkgconfig/qar.pc \
            ./share/bash-completion/completions/qartool ./share/bash-completion/completions/sprtool \
            ./share/man/man1/qartool.1.gz ./share/man/man1/sprtool.1.gz
        if [ $# -ge 2 ]; then  # the Python package
            printf '%s\n' ./lib/python3/dist-packages/qar/__init__.py "./lib/python3/dist-packages/qar/$2"
        fi
    } | sort)"
    [ "$got" = "$expected" ] || fail "cmake --install gave:"$'\n'"$got"$'\n'"expected:"$'\n'"$expected"
    ;;

deb_builds)  # BUILD_DIR DEB_DIR PACKAGE...
    build="$1" out="$2"
    shift 2
    rm -rf "$out"
    mkdir -p "$out"
    log="$(cd "$out" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" 2>&1)" ||
        fail "cpack -G DEB failed:"$'\n'"$log"
    got="$(for deb in "$out"/*.deb; do dpkg-deb -f "$deb" Package; done | sort | xargs)"
    expected="$(printf '%s\n' "$@" | sort | xargs)"
    [ "$got" = "$expected" ] || fail "cpack made the packages \"$got\", expected \"$expected\":"$'\n'"$log"
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
    dir="$1"
    holds() {  # PACKAGE: its files (no folders), without the docs
        dpkg-deb -c "$(deb_of "$dir" "$1")" | awk '$1 !~ /^d/ {print $6}' | grep -v '^\./usr/share/doc/'
    }
    lib="$(holds libqar1)"
    dev="$(holds libqar-dev)"
    tools="$(holds qar-tools)"
    grep -qE '/libqar\.so\.[0-9]+$' <<< "$lib" || fail "libqar1 has no libqar.so.N: $lib"
    ! grep -vqE '/libqar\.so\.[0-9.]+$' <<< "$lib" || fail "libqar1 holds more than the library: $lib"
    for file in /include/qar/qar.h /libqar.so /libqar.a /pkgconfig/qar.pc /cmake/qar/; do
        grep -qF "$file" <<< "$dev" || fail "libqar-dev has no $file: $dev"
    done
    ! grep -qE '\.so\.[0-9]' <<< "$dev" || fail "libqar-dev holds the shared library itself: $dev"
    ! grep -qE 'libqar|/include/|python' <<< "$tools" || fail "qar-tools holds library files: $tools"
    if deb_of "$dir" python3-qar > /dev/null 2>&1; then
        py="$(holds python3-qar)"
        for file in /usr/lib/python3/dist-packages/qar/__init__.py /usr/lib/python3/dist-packages/qar/_qar; do
            grep -qF "$file" <<< "$py" || fail "python3-qar has no $file: $py"
        done
    fi
    ;;

lintian_reports_no_errors)  # DEB_DIR
    command -v lintian > /dev/null || fail "lintian is missing (scripts/deps.sh installs it)"
    report="$(lintian --fail-on error "$1"/*.deb 2>&1 | grep -v 'running with root privileges')" ||
        fail "lintian reports errors:"$'\n'"$report"
    ;;

deb_tools_run_from_unpacked_root)  # DEB_DIR VERSION
    unpack_root "$1" qar-tools libqar1
    bin="$scratch/root/usr/bin"
    for tool in qartool sprtool; do
        [ -x "$bin/$tool" ] || fail "the .deb holds no usr/bin/$tool"
        [ "$("$bin/$tool" --version)" = "$tool $2" ] || fail "the unpacked $tool --version is wrong"
    done
    make_unpacked_archive "$bin"
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
    unpack_root "$1" qar-tools libqar1 python3-qar
    make_unpacked_archive "$scratch/root/usr/bin"
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
