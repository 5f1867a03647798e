#!/usr/bin/env bash
# Installs whatever the build and the tests need that is missing from Debian's packages.
# Idempotent; prints nothing when everything is present. With "native", only what the Linux
# build needs (no cross compiler, no Wine). Every name is one that Debian 12 (bookworm) and
# Debian 13 (trixie) both use: no version in a name where the releases differ. On any other
# release it installs the same names, and stops naming those the release does not have.
set -euo pipefail

packages=(
    cmake ninja-build g++
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    nlohmann-json3-dev libcli11-dev clang-format
)
# git: the release's time stamps are its last commit's. procps: pgrep, with which the Wine
# benchmark finds its processes. osslsigncode and openssl: the release's signatures and the
# tests' throwaway certificate. python3-pefile: the release's PE
# check. clang and libclang-rt-dev (the release's default clang's runtime, 14 on Debian 12 and 19
# on Debian 13): libFuzzer, for the scenario reader's fuzzing.
[[ ${1:-} == native ]] || packages+=(git mingw-w64 wine wine64 wixl msitools procps osslsigncode openssl
    python3-pefile clang libclang-rt-dev)

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ $status == "install ok installed" ]] || missing+=("$package")
done
((${#missing[@]} == 0)) && exit 0

release=unknown
[[ -r /etc/os-release ]] && release=$(. /etc/os-release && echo "${PRETTY_NAME:-$ID $VERSION_ID}")

as_root=()
((EUID == 0)) || as_root=(sudo)
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq

unavailable=()
for package in "${missing[@]}"; do
    candidate=$(apt-cache policy "$package" 2>/dev/null | sed -n 's/^ *Candidate: //p')
    [[ -n $candidate && $candidate != "(none)" ]] || unavailable+=("$package")
done
if ((${#unavailable[@]})); then
    echo "setup: $release has no package ${unavailable[*]}; this project installs on Debian 12" \
        "and Debian 13 (scripts/setup.sh names what it needs)" >&2
    exit 1
fi
"${as_root[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
