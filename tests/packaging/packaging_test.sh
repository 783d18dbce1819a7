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

install_gives_the_tools_and_the_library)  # BUILD_DIR
    cmake --install "$1" --prefix "$scratch/root" > /dev/null || fail "cmake --install $1 failed"
    # The CMake package's per-configuration file carries the build type.
    got="$(cd "$scratch/root" && find . -type f -o -type l | sed 's/qarTargets-.*\.cmake/qarTargets-CONFIG.cmake/' | sort)"
    expected="./bin/qartool
./bin/sprtool
./include/qar/qar.h
./lib/cmake/qar/qarConfig.cmake
./lib/cmake/qar/qarConfigVersion.cmake
./lib/cmake/qar/qarTargets-CONFIG.cmake
./lib/cmake/qar/qarTargets.cmake
./lib/libqar.a
./lib/libqar.so
./lib/libqar.so.1
./lib/libqar.so.1.0.0
./lib/pkgconfig/qar.pc
./share/bash-completion/completions/qartool
./share/bash-completion/completions/sprtool
./share/man/man1/qartool.1.gz
./share/man/man1/sprtool.1.gz"
    [ "$got" = "$expected" ] || fail "cmake --install gave:"$'\n'"$got"$'\n'"expected:"$'\n'"$expected"
    ;;

deb_builds)  # BUILD_DIR DEB_DIR
    rm -rf "$2"
    mkdir -p "$2"
    log="$(cd "$2" && cpack -G DEB --config "$1/CPackConfig.cmake" -B "$2" 2>&1)" ||
        fail "cpack -G DEB failed:"$'\n'"$log"
    ls "$2"/*.deb > /dev/null 2>&1 || fail "cpack made no .deb in $2:"$'\n'"$log"
    ;;

deb_depends_on_the_shared_libraries)  # DEB_DIR
    depends="$(dpkg-deb -f "$1"/*.deb Depends)"
    for lib in libc6 libstdc++6 liblzo2-2 libtinyxml2; do
        grep -q "$lib" <<< "$depends" || fail "the .deb's Depends lacks $lib: $depends"
    done
    ;;

lintian_reports_no_errors)  # DEB_DIR
    command -v lintian > /dev/null || fail "lintian is missing (scripts/deps.sh installs it)"
    report="$(lintian --fail-on error "$1"/*.deb 2>&1 | grep -v 'running with root privileges')" ||
        fail "lintian reports errors:"$'\n'"$report"
    ;;

deb_tools_run_from_unpacked_root)  # DEB_DIR VERSION
    dpkg -x "$1"/*.deb "$scratch/root" || fail "dpkg -x could not unpack the .deb"
    bin="$scratch/root/usr/bin"
    for tool in qartool sprtool; do
        [ -x "$bin/$tool" ] || fail "the .deb holds no usr/bin/$tool"
        [ "$("$bin/$tool" --version)" = "$tool $2" ] || fail "the unpacked $tool --version is wrong"
    done
    mkdir "$scratch/data" "$scratch/out"
    echo "hello from the package" > "$scratch/data/hello.txt"
    (cd "$scratch" && "$bin/qartool" -p pw a game.qar data > /dev/null) ||
        fail "the unpacked qartool could not add a file"
    (cd "$scratch/out" && "$bin/qartool" -p pw x ../game.qar > /dev/null) ||
        fail "the unpacked qartool could not extract"
    cmp -s "$scratch/data/hello.txt" "$scratch/out/hello.txt" ||
        fail "the unpacked qartool did not give the file back"
    printf '"hero"  chars_01  1 2 3 4 0x5\n' > "$scratch/in.txt"
    "$bin/sprtool" wt "$scratch/t.stb" "$scratch/in.txt" || fail "the unpacked sprtool wt failed"
    [ "$(stat -c %s "$scratch/t.stb")" = 52 ] || fail "the unpacked sprtool wrote no 52-byte record"
    ;;

*)
    fail "unknown check $check"
    ;;
esac
