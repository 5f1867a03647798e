#!/usr/bin/env bash
# The release folder: builds the executable with the windows preset and writes dist/ with
# packaging/release.sh: the stripped executable, its debug file, the installer package named with
# its version, and SHA256SUMS, which `sha256sum -c SHA256SUMS` checks from inside dist/.
#
# Usage: scripts/dist.sh [--pfx FILE] [--password-file FILE] [--timestamp URL]
#        scripts/dist.sh --signatures-from DIR
#   --pfx: sign the executable and the package with the certificate and key of this PKCS#12 file;
#   its password comes from --password-file or the environment variable BREVRCTL_SIGN_PASSWORD,
#   never from the command line. --timestamp: an RFC 3161 time-stamp server. The environment
#   variables of packaging/sign.sh do the same. Without a certificate the release is unsigned.
#   --signatures-from: a rebuild of a published release (DIR), with its signatures attached where
#   the release was signed; at that release's commit it has the release's SHA256SUMS.
# The release is the function of the last commit: SOURCE_DATE_EPOCH is its time.
set -euo pipefail

cd "$(dirname "$0")/.." || exit 1
jobs=${JOBS:-2}

usage() {
    echo "usage: scripts/dist.sh [--pfx FILE] [--password-file FILE] [--timestamp URL]" \
        "| [--signatures-from DIR]" >&2
    exit 1
}
while (($#)); do
    if (($# < 2)) || [[ -z $2 ]]; then
        echo "dist: $1 needs a value" >&2
        usage
    fi
    case $1 in
    --pfx) export BREVRCTL_SIGN_PFX=$2 ;;
    --password-file) export BREVRCTL_SIGN_PASSWORD_FILE=$2 ;;
    --timestamp) export BREVRCTL_TIMESTAMP_URL=$2 ;;
    --signatures-from) export BREVRCTL_SIGNATURES_FROM=$2 ;;
    *) usage ;;
    esac
    shift 2
done
# A certificate that cannot be used fails before the build, not after it.
if [[ -n ${BREVRCTL_SIGN_PFX:-} ]]; then bash packaging/sign.sh; fi
if [[ -n $(git status --porcelain --untracked-files=no 2>/dev/null) ]]; then
    echo "dist: the work tree has uncommitted changes: the release is not the last commit's" >&2
fi
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH

bash scripts/setup.sh
mkdir -p build
cmake --preset windows >build/windows.configure.log 2>&1 ||
    { cat build/windows.configure.log; exit 1; }
# Only the executable and the package's custom action: the unit tests are not released, and the
# package is made of the stripped executable.
cmake --build --preset windows -j "$jobs" --target BrevRctlService service_config_action
bash packaging/release.sh build/windows dist
cat dist/SHA256SUMS
