#!/usr/bin/env bash
# The PE check against builds that must fail it: it passes the tiny program built as the
# released code is, stripped beside its debug file as the release ships, and signed; and fails,
# each for its reasons and no other, the same program built without stack protection, with one of
# its two files without it (also with the file's path not mapped away, and without debug
# information), with a file linked that is none of its sources, with a writable and executable
# section, importing a DLL that is no KnownDLL (also delay-loaded through dlltool's delay-import
# library, as built and stripped beside its debug file), stripped beside another build's debug
# file, unsigned when a signature is required, and signed but changed after signing. Each probe's
# own units are listed beside it, PROBE.units.
#
# Usage: tests/pe/pe_check_test.sh PE_CHECK WORK_DIR PROBE UNPROTECTED PARTLY_PROTECTED
#        UNMAPPED_PART UNDEBUGGED_PART UNDECLARED_PART WRITABLE_CODE VERSION_IMPORT
#        VERSION_DELAY_IMPORT
set -uo pipefail

check=$1
work=$2
probe=$3
failures=0
rm -rf "$work"
mkdir -p "$work"

# expect NAME STATUS [FAILURE...] -- ARG... IMAGE: runs the check on IMAGE with ARG... and the
# units of the probe it was made of, PROBE_OF (by default IMAGE); it must end with STATUS and
# report exactly as many failures as FAILUREs are given, the Nth containing the Nth FAILURE.
expect() {
    local name=$1 expected_status=$2
    shift 2
    local wanted=()
    while [[ $1 != -- ]]; do
        wanted+=("$1")
        shift
    done
    shift
    local output status
    local units=${PROBE_OF:-${*: -1}}
    output=$(/usr/bin/python3 "$check" --units "${units%.exe}.units" "$@")
    status=$?
    local failed=()
    mapfile -t failed < <(grep '^FAIL:' <<<"$output")
    local good=1 index
    ((status == expected_status)) || good=0
    ((${#failed[@]} == ${#wanted[@]})) || good=0
    for ((index = 0; good && index < ${#wanted[@]}; index++)); do
        [[ ${failed[index]} == *"${wanted[index]}"* ]] || good=0
    done
    if ((good)); then
        echo "passed: $name"
        return
    fi
    echo "FAILED: $name: expected status $expected_status and the failures:" \
        "${wanted[*]:-none}; got $status"
    echo "$output" | sed 's/^/  /'
    failures=$((failures + 1))
}

# strip_beside DIR EXE DEBUG_OF: EXE stripped into DIR with a debug link to DIR/probe.debug,
# which then holds the debug information of DEBUG_OF, as the release keeps it. objcopy stamps the
# current second into the debug file's header, so the image's own is written once only.
strip_beside() {
    local dir=$work/$1
    mkdir -p "$dir"
    x86_64-w64-mingw32-objcopy --only-keep-debug "$2" "$dir/probe.debug"
    x86_64-w64-mingw32-objcopy --strip-all --add-gnu-debuglink="$dir/probe.debug" "$2" \
        "$dir/probe.exe"
    if [[ $3 != "$2" ]]; then x86_64-w64-mingw32-objcopy --only-keep-debug "$3" "$dir/probe.debug"; fi
}

expect "hardened build passes" 0 -- "$probe"
expect "build without stack protection fails" 1 \
    "not compiled with -fstack-protector-strong: tests/pe/probe.c (no -fstack-protector)" \
    "stack protection: no function reads the guard" -- "$4"
expect "build with one file without stack protection fails" 1 \
    "not compiled with -fstack-protector-strong: tests/pe/probe_part.c (-fno-stack-protector)" \
    -- "$5"
# Its unit names the source by its full path, in an absolute folder, as the toolchain's units do.
expect "build with one file without stack protection nor its path mapped away fails" 1 \
    "not compiled with -fstack-protector-strong: tests/pe/probe_part.c (-fno-stack-protector)" \
    -- "$6"
expect "build with one file without stack protection nor debug information fails" 1 \
    "not in the debug information (built without -g?): tests/pe/probe_part.c" \
    -- "$7"
expect "build with a file linked that is none of its sources fails" 1 \
    "units of neither the image's own code nor the toolchain's runtime: tests/pe/probe_part.c" \
    -- "$8"
expect "writable and executable section fails" 1 "section .wxcode is writable and executable" \
    -- "$9"
expect "import of a DLL that is no KnownDLL fails" 1 \
    "imports from DLLs that are not KnownDLLs: VERSION.dll" -- "${10}"
expect "delay-loaded import of a DLL that is no KnownDLL fails" 1 \
    "delay-loaded imports, which the delay-import directory does not list: version.dll" \
    -- "${11}"
expect "build without the list of its own units fails" 1 \
    "no list of the image's own units" -- --units /dev/null "$probe"

strip_beside stripped "$probe" "$probe"
PROBE_OF=$probe expect "stripped build beside its debug file passes" 0 -- "$work/stripped/probe.exe"
strip_beside delay_stripped "${11}" "${11}"
PROBE_OF=${11} expect "stripped build delay-loading, beside its debug file, fails" 1 \
    "delay-loaded imports, which the delay-import directory does not list: version.dll" \
    -- "$work/delay_stripped/probe.exe"
strip_beside mismatched "$probe" "$4"
PROBE_OF=$probe expect "stripped build beside another build's debug file fails" 1 \
    "is not the debug file of this image" "stack protection: no symbols to find the guard by" \
    -- "$work/mismatched/probe.exe"

# shellcheck source=tests/throwaway_certificate.sh
source "$(dirname "$0")/../throwaway_certificate.sh"
certificate() {
    throwaway_certificate "$work/certificate" "pe check test" &&
        osslsigncode sign -certs "$work/certificate/signer.pem" -key "$work/certificate/signer.key" \
            -h sha256 -in "$probe" -out "$work/signed.exe"
}
if ! certificate >"$work/certificate.log" 2>&1; then
    echo "FAILED: a signed build: $(tail -n 1 "$work/certificate.log")"
    failures=$((failures + 1))
fi
root=$work/certificate/root.pem
expect "unsigned build fails when a signature is required" 1 "not signed" -- --signed "$probe"
PROBE_OF=$probe expect "signed build passes" 0 -- --signed --ca-file "$root" "$work/signed.exe"
# One byte of the code changed after signing.
cp "$work/signed.exe" "$work/tampered.exe"
printf '\xcc' | dd of="$work/tampered.exe" bs=1 seek=4200 conv=notrunc status=none
PROBE_OF=$probe expect "signed build changed after signing fails" 1 \
    "the signature does not verify" \
    -- --signed --ca-file "$root" "$work/tampered.exe"

echo "pe check test: $failures failed"
((failures == 0))
