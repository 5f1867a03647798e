#!/usr/bin/env bash
# Builds the Windows Installer package with wixl from BrevRctlService.wxs and the project's
# version, publisher and description, which CMake writes to BUILD_DIR/packaging/package.env.
# A VERSION or an EXE other than the build's give another package of the same product: the
# tests build their newer version so, without a second build.
#
# Usage: packaging/build-msi.sh BUILD_DIR OUTPUT [VERSION [EXE]]
#   BUILD_DIR: the windows preset's build; EXE: by default BUILD_DIR/BrevRctlService.exe.
set -euo pipefail

build=$(realpath "$1")
output=$(realpath -m "$2")
source_wxs=$(realpath "$(dirname "$0")/BrevRctlService.wxs")
# shellcheck source=packaging/package.env.in
source "$build/packaging/package.env"
version=${3:-$version}
exe=$(realpath "${4:-$build/BrevRctlService.exe}")

# Windows Installer compares the first three fields of a product version.
if [[ ! $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
    echo "build-msi: the version must be MAJOR.MINOR.PATCH: $version" >&2
    exit 1
fi
next_version=${version%.*}.$((${version##*.} + 1))

if [[ $(basename "$exe") != BrevRctlService.exe ]]; then
    echo "build-msi: the executable must be named BrevRctlService.exe: $exe" >&2
    exit 1
fi

# wixl takes a file's Source relative to its working directory and refuses an absolute path.
cd "$(dirname "$exe")"
wixl --arch x64 --output "$output" \
    --define "Version=$version" \
    --define "NextVersion=$next_version" \
    --define "Manufacturer=$manufacturer" \
    --define "Description=$description" \
    "$source_wxs"
