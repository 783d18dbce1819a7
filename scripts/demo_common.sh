# Shared by the demo scripts: checks their two arguments (BIN_DIR SCRATCH_DIR),
# sets $bin, creates the scratch folder, and defines run, which prints a
# command line and then runs it (qartool and sprtool from BIN_DIR).
if [ $# -ne 2 ]; then
  echo "usage: $0 BIN_DIR SCRATCH_DIR" >&2
  exit 2
fi
bin="$(cd "$1" && pwd)"
mkdir -p "$2"

run() {
  echo "\$ $*"
  case "$1" in
    qartool|sprtool) "$bin/$1" "${@:2}" ;;
    *) "$@" ;;
  esac
  echo
}
