#!/usr/bin/env bash
# Installs whatever the build and the tests need that is missing from Debian's packages.
# Idempotent; prints nothing when everything is present. With "native", only what the Linux
# build needs (no cross compiler, no Wine).
set -euo pipefail

packages=(
    cmake ninja-build g++
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    nlohmann-json3-dev libcli11-dev clang-format
)
# procps: pgrep, with which the Wine benchmark finds its processes. osslsigncode and openssl: the
# release's signatures and the tests' throwaway certificate. python3-pefile: the release's PE
# check. clang and libclang-rt-14-dev: libFuzzer, for the scenario reader's fuzzing.
[[ ${1:-} == native ]] || packages+=(mingw-w64 wine wine64 wixl msitools procps osslsigncode openssl
    python3-pefile clang libclang-rt-14-dev)

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ $status == "install ok installed" ]] || missing+=("$package")
done
((${#missing[@]} == 0)) && exit 0

as_root=()
((EUID == 0)) || as_root=(sudo)
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
