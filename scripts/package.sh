#!/usr/bin/env bash
# Builds the Debian package as Debian builds its own: a release build in
# build-package/ with the compiler and linker flags of dpkg-buildflags (all
# hardening on: checked buffer functions, stack protector, read-only
# relocations bound at start), then cpack -G DEB and lintian.
# Usage: scripts/package.sh            (the .deb lands in build-package/)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
dir=build-package
cmake -S . -B "$dir" -DQAR_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)" \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" > /dev/null
cmake --build "$dir" -j"$(nproc)" --target qartool sprtool man_pages
(cd "$dir" && cpack -G DEB)
lintian --fail-on error "$dir"/*.deb
echo "package: $(ls "$dir"/*.deb)"
