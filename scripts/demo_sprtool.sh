#!/usr/bin/env bash
# Converts the bundled sample sprite table (TXT with an include) to an STB file
# and shows it as a listing and as JSON, checks it, and draws it as a web page.
# Usage: scripts/demo_sprtool.sh BIN_DIR SCRATCH_DIR
set -euo pipefail
source "$(dirname "$0")/demo_common.sh"
samples="$(cd "$(dirname "$0")/../samples/sprites" && pwd)"
cd "$2"   # the include is found beside the file that names it

run sprtool wt game.stb "$samples/sprites.txt"
run sprtool l game.stb
run sprtool rj game.stb
run sprtool k game.stb
run sprtool v game.stb game.html
echo "The page: $PWD/game.html"
