#!/usr/bin/env bash
# The release files of a windows build, into OUT_DIR (made anew):
#   BrevRctlService.exe             the executable without symbols or debug information,
#   BrevRctlService.debug           which this file keeps, linked to it by name and checksum
#                                   (.gnu_debuglink), for crash analysis,
#   BrevRctlService-VERSION-x64.msi the installer package of that executable,
#   SHA256SUMS                      of the three.
# With a certificate, the executable is signed with Authenticode before it goes into the package,
# and the package after; without one, both are unsigned and it says so. The executable must pass
# packaging/pe_check.py (its hardening, and its signature when signed), and so must the package's
# custom action DLL (its hardening), or there is no release.
#
# Unsigned, the same build gives the same files, byte for byte: SOURCE_DATE_EPOCH (by default
# the time of the source tree's last commit) stamps the executable's PE header and dates the
# package. Signed, a file differs from its unsigned twin only by its signature.
#
# Usage: packaging/release.sh BUILD_DIR OUT_DIR
# Signs when BREVRCTL_SIGN_PFX names a certificate: see packaging/sign.sh for it, its password
# and the time-stamp server. With BREVRCTL_SIGNATURES_FROM=DIR instead, a published release, it
# attaches the signatures of DIR's files to the rebuilt ones where it would sign: a rebuild of
# the published release's commit then has its SHA256SUMS. A signature is verified against the
# system's certificates, or against the file BREVRCTL_SIGN_CA names.
set -euo pipefail

build=$(realpath "$1")
out=$(realpath -m "$2")
here=$(realpath "$(dirname "$0")")
triple=x86_64-w64-mingw32
# shellcheck source=packaging/package.env.in
source "$build/packaging/package.env"
package=BrevRctlService-$version-x64.msi

if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
    if ! SOURCE_DATE_EPOCH=$(git -C "$here" log -1 --format=%ct 2>/dev/null); then
        echo "release: not in a git checkout: set SOURCE_DATE_EPOCH" >&2
        exit 1
    fi
fi
export SOURCE_DATE_EPOCH

signing=none
if [[ -n ${BREVRCTL_SIGN_PFX:-} ]]; then signing=certificate; fi
if [[ -n ${BREVRCTL_SIGNATURES_FROM:-} ]]; then
    signing=published
    if [[ ! -f $BREVRCTL_SIGNATURES_FROM/BrevRctlService.exe || ! -f $BREVRCTL_SIGNATURES_FROM/$package ]]; then
        echo "release: $BREVRCTL_SIGNATURES_FROM holds no BrevRctlService.exe and $package" >&2
        exit 1
    fi
fi

# sign FILE: signs FILE in place, or attaches the signature of the published file of its name.
# osslsigncode writes the file with the signature attached also when it does not match (it says
# "Signature mismatch") or when it cannot verify the chain: SHA256SUMS shows the first, and
# the second is no matter of the rebuild.
sign() {
    local file=$1
    case $signing in
    certificate) bash "$here/sign.sh" "$file" ;;
    published)
        local published
        published=$BREVRCTL_SIGNATURES_FROM/$(basename "$file")
        if ! osslsigncode extract-signature -in "$published" -out "$file.p7" >"$file.log" 2>&1; then
            cat "$file.log" >&2
            echo "release: no signature to take from $published" >&2
            exit 1
        fi
        osslsigncode attach-signature -sigin "$file.p7" -in "$file" -out "$file.signed" \
            >"$file.log" 2>&1 || true
        if [[ ! -f $file.signed ]]; then
            cat "$file.log" >&2
            echo "release: the signature of $published cannot be attached" >&2
            exit 1
        fi
        rm -f "$file.p7" "$file.log"
        mv "$file.signed" "$file"
        ;;
    esac
}

# The release is made beside OUT_DIR and replaces it only once it is whole: a failure leaves
# the earlier release as it was.
if [[ $signing == certificate ]]; then bash "$here/sign.sh"; fi
partial=$out.partial
rm -rf "$partial"
mkdir -p "$partial"
trap 'rm -rf "$partial"' EXIT
# objcopy stamps the PE header with SOURCE_DATE_EPOCH; the link left it 0.
"$triple-objcopy" --only-keep-debug "$build/BrevRctlService.exe" "$partial/BrevRctlService.debug"
"$triple-objcopy" --strip-all --add-gnu-debuglink="$partial/BrevRctlService.debug" \
    "$build/BrevRctlService.exe" "$partial/BrevRctlService.exe"
sign "$partial/BrevRctlService.exe"
# The executable as released keeps its hardening, and its signature when it is signed.
check_args=()
if [[ $signing != none ]]; then
    check_args+=(--signed)
    if [[ -n ${BREVRCTL_SIGN_CA:-} ]]; then check_args+=(--ca-file "$BREVRCTL_SIGN_CA"); fi
fi
/usr/bin/python3 "$here/pe_check.py" "${check_args[@]}" --units "$build/BrevRctlService.units" \
    "$partial/BrevRctlService.exe"
# The package's custom action DLL as it goes into the package: msiexec, which loads it, has loaded
# msi.dll from System32 before.
/usr/bin/python3 "$here/pe_check.py" --also-import msi.dll \
    --units "$build/packaging/ServiceConfig.units" "$build/packaging/ServiceConfig.dll"
bash "$here/build-msi.sh" "$build" "$partial/$package" "$version" "$partial/BrevRctlService.exe"
sign "$partial/$package"
(cd "$partial" && sha256sum BrevRctlService.exe BrevRctlService.debug "$package" >SHA256SUMS)
rm -rf "$out"
mv "$partial" "$out"

case $signing in
certificate) echo "release: $out: BrevRctlService.exe and $package signed" ;;
published)
    echo "release: $out: BrevRctlService.exe and $package with the signatures of" \
        "$BREVRCTL_SIGNATURES_FROM: compare SHA256SUMS with that release's"
    ;;
none) echo "release: $out: BrevRctlService.exe and $package are NOT signed (no BREVRCTL_SIGN_PFX)" ;;
esac
