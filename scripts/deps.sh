#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are missing.
# Usage: scripts/deps.sh [extra-package...]
set -euo pipefail
# groff-base and lintian check the manual pages and the .deb in the test suite.
# libstb-dev: sprtool reads PNG headers with its image loader; the tests write PNGs with it.
# pybind11-dev and python3-dev build the Python module, python3-pytest tests it.
# libfuse3-dev builds the m command (mount) and fuse3 lets its tests mount.
packages=(build-essential cmake pkg-config liblzo2-dev libtinyxml2-dev rapidjson-dev libstb-dev
          libgtest-dev groff-base lintian pybind11-dev python3-dev python3-pytest libfuse3-dev fuse3 "$@")
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  echo "Installing: ${missing[*]}"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
