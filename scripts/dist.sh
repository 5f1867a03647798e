#!/usr/bin/env bash
# The release folder: builds the executable and its installer package with the windows preset
# and writes dist/ with both, the package named with its version, and SHA256SUMS, which
# `sha256sum -c SHA256SUMS` checks from inside dist/.
set -euo pipefail

cd "$(dirname "$0")/.." || exit 1
jobs=${JOBS:-2}

bash scripts/setup.sh
mkdir -p build
cmake --preset windows >build/windows.configure.log 2>&1 ||
    { cat build/windows.configure.log; exit 1; }
# Only the executable and the package: the unit tests are not released.
cmake --build --preset windows -j "$jobs" --target BrevRctlService msi

# shellcheck source=packaging/package.env.in
source build/windows/packaging/package.env
package=BrevRctlService-$version-x64.msi
rm -rf dist
mkdir dist
cp build/windows/BrevRctlService.exe dist/
cp build/windows/BrevRctlService.msi "dist/$package"
(cd dist && sha256sum BrevRctlService.exe "$package" >SHA256SUMS)
echo "dist: BrevRctlService.exe $package SHA256SUMS"
