#!/usr/bin/env bash
# Converts the bundled sample sprite table (TXT with an include) to an STB file
# and shows it as a listing and as JSON.
# Usage: scripts/demo_sprtool.sh BIN_DIR SCRATCH_DIR
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 BIN_DIR SCRATCH_DIR" >&2
  exit 2
fi
bin="$(cd "$1" && pwd)"
samples="$(cd "$(dirname "$0")/../samples/sprites" && pwd)"
mkdir -p "$2"
cp "$samples"/*.txt "$2"/
cd "$2"   # include lines name files relative to the current directory

# Prints a command line, then runs the named program from BIN_DIR with it.
run() {
  local program="$1"
  shift
  echo "\$ $program $*"
  "$bin/$program" "$@"
  echo
}

run sprtool wt game.stb sprites.txt
run sprtool l game.stb
run sprtool rj game.stb
