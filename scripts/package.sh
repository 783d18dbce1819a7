#!/usr/bin/env bash
# Builds the Debian packages as Debian builds its own: a release build in
# build-package/ for the prefix /usr with the compiler and linker flags of
# dpkg-buildflags (all hardening on: checked buffer functions, stack
# protector, read-only relocations bound at start), then cpack -G DEB, which
# makes one package per install component (qar-tools, libqar1, libqar-dev,
# python3-qar), and lintian on each.
# Usage: scripts/package.sh            (the .debs land in build-package/)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
dir=build-package
cmake -S . -B "$dir" -DQAR_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)" \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    -DCMAKE_MODULE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" > /dev/null
cmake --build "$dir" -j"$(nproc)"
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB)
lintian --fail-on error "$dir"/*.deb
for deb in "$dir"/*.deb; do echo "package: $deb"; done
