#!/usr/bin/env bash
# Builds the installable packages into dist/:
#   tarnwick_<version>_amd64.deb    for apt on Debian 12 and later (CPack, DEB generator)
#   Tarnwick-<version>-setup.run    the per-user installer the self-update starts (--silent)
# Both carry mbedTLS 3.6 linked statically: Debian 12 has only 2.28, and libmbedtls-dev ships
# the static archives. Release build in build/package; safe to run twice.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
if [ ! -f build/package/build.ninja ]; then
  cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DTWK_TESTS=OFF \
    -DTWK_STATIC_MBEDTLS=ON -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
fi
cmake --build build/package -j "$(nproc)"
mkdir -p dist
(cd build/package && cpack -G DEB -B "$PWD/cpack" >/dev/null)
version=$(sed -n 's/^project(tarnwick VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
cp "build/package/cpack/tarnwick_${version}_amd64.deb" dist/
echo "package: dist/tarnwick_${version}_amd64.deb" >&2
bash scripts/make_setup_run.sh build/package "dist/Tarnwick-${version}-setup.run"
