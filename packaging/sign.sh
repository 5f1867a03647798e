#!/usr/bin/env bash
# Signs each FILE in place with Authenticode (SHA-256), an executable or an installer package,
# with osslsigncode and the certificate that the environment names; the program name that the
# UAC prompt shows is BrevRctlService.
#   BREVRCTL_SIGN_PFX            the PKCS#12 file with the certificate, its chain and its key
#   BREVRCTL_SIGN_PASSWORD       the file's password, or
#   BREVRCTL_SIGN_PASSWORD_FILE  a file that holds it
#   BREVRCTL_TIMESTAMP_URL       an RFC 3161 time-stamp server (optional): the signature stays
#                                valid after the certificate has expired
# The password reaches osslsigncode through a pipe or the password file, never through a command
# line, which logs and the process list show.
#
# Usage: packaging/sign.sh [FILE...]
#   Without a FILE, only checks that the certificate and its password are given.
set -euo pipefail

if [[ -z ${BREVRCTL_SIGN_PFX:-} || ! -r $BREVRCTL_SIGN_PFX ]]; then
    echo "sign: cannot read the certificate BREVRCTL_SIGN_PFX=${BREVRCTL_SIGN_PFX:-}" >&2
    exit 1
fi
if [[ -n ${BREVRCTL_SIGN_PASSWORD_FILE:-} ]]; then
    if [[ ! -r $BREVRCTL_SIGN_PASSWORD_FILE ]]; then
        echo "sign: cannot read the password file $BREVRCTL_SIGN_PASSWORD_FILE" >&2
        exit 1
    fi
elif [[ -z ${BREVRCTL_SIGN_PASSWORD+set} ]]; then
    echo "sign: BREVRCTL_SIGN_PFX needs BREVRCTL_SIGN_PASSWORD or BREVRCTL_SIGN_PASSWORD_FILE" >&2
    exit 1
fi

# The password from the environment goes through a pipe that osslsigncode opens as its password
# file (Debian 12's osslsigncode 2.5 reads no password from its standard input).
password_file() {
    if [[ -n ${BREVRCTL_SIGN_PASSWORD_FILE:-} ]]; then
        cat "$BREVRCTL_SIGN_PASSWORD_FILE"
    else
        printf '%s' "$BREVRCTL_SIGN_PASSWORD"
    fi
}

log=$(mktemp)
trap 'rm -f "$log"' EXIT
for file in "$@"; do
    options=(-pkcs12 "$BREVRCTL_SIGN_PFX" -h sha256 -n BrevRctlService
        -in "$file" -out "$file.signed")
    if [[ -n ${BREVRCTL_TIMESTAMP_URL:-} ]]; then options+=(-ts "$BREVRCTL_TIMESTAMP_URL"); fi
    if ! osslsigncode sign -readpass <(password_file) "${options[@]}" >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$file.signed"
        echo "sign: signing $file failed" >&2
        exit 1
    fi
    mv "$file.signed" "$file"
done
