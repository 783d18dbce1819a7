#!/usr/bin/env bash
# Installs what is missing, builds, and runs both tools on the bundled samples
# in a scratch folder (removed afterwards).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build
bin="$(pwd)/build/bin"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/qar" "$scratch/sprites"
bash scripts/demo_qartool.sh "$bin" "$scratch/qar"
echo
bash scripts/demo_sprtool.sh "$bin" "$scratch/sprites"
