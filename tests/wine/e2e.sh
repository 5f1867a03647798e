#!/usr/bin/env bash
# End to end under Wine: the real BrevRctlService.exe, in a fresh prefix, run from the console,
# installed, started by Wine's SCM, and removed. Every line the executable prints is compared
# whole (CR LF included: the C runtime's text-mode stdout turns "\n" into CR LF on a pipe); the
# registration is read back from Wine's registry; the service's records are taken from Wine's
# eventlog trace, which prints each string of ReportEventW (information records as trace lines,
# error records as err lines).
#
# Beside the executable, in its install folder and in a folder anyone can write, lie planted DLLs
# named after every DLL it loads that is no KnownDLL (tests/wine/planted_dll, beside BUILT_EXE in
# the build); none may be loaded by any run here.
#
# Usage: tests/wine/e2e.sh BUILT_EXE WORK_DIR
set -uo pipefail

built_exe=$(realpath "$1")
work=$(realpath -m "$2")
# shellcheck source=tests/wine/lib.sh
source "$(dirname "$0")/lib.sh"

# The service process that the SCM starts finds no switch device (Wine has none), writes its two
# records, and ends stopped with exit code 0.
check_service_run() {
    local title=$1 first_line=$2
    if wait_until_stopped; then pass "$title: the service stopped"; else fail "$title: the service did not stop"; fi
    check_sc_query "$title: final status" "1  STOPPED"
    lines_to "$work/expected" $'\n' \
        "trace:eventlog:ReportEventW L\"$service\"" \
        'trace:eventlog:ReportEventW L"BrevRbtnService in OnStart"' \
        "trace:eventlog:ReportEventW L\"$service\"" \
        'trace:eventlog:ReportEventW L"Cannot open device!"'
    records_since "$first_line" >"$work/actual"
    compare "$title: records" "$work/expected" "$work/actual"
}

check_registration() {
    expected_registration "$exe"
    wine_tool reg query "$service_key" >"$work/actual"
    compare "the registration" "$work/expected" "$work/actual"
}

check_unregistered() {
    if wine reg query "$service_key" >/dev/null 2>&1; then
        fail "the registration is gone"
    else
        pass "the registration is gone"
    fi
}

wine_boot "$built_exe"
plant_dlls "$(dirname "$built_exe")" "$WINEPREFIX/drive_c/${install_dir//\\//}"
check_loaded_dlls "the console run's DLLs" "$exe"

usage=("Parameters:" " -install  to install the service." " -remove   to remove the service.")

run "console run" 0 "$exe" -- "${usage[@]}" "Service failed to run w/err 0x00000427"

# -install refuses a path that users can change, says why, and registers nothing. Wine derives a
# file's DACL from its Unix mode: the world's bits become Everyone's entry, 0x1301ff for rwx
# (read, write, execute, DELETE) and 0x1200a9 for r-x.
refused_install() {
    local title=$1 folder=$2 wrong=$3
    run "-install $title" 0 "C:\\$folder\\$service.exe" -install -- \
        "$service is not installed: $wrong"
    check_unregistered
}
drive_c=$WINEPREFIX/drive_c
mkdir -p "$drive_c/open" "$drive_c/shared/tools" "$drive_c/tools"
for folder in open shared/tools tools; do cp "$built_exe" "$drive_c/$folder/$service.exe"; done
plant_dlls "$(dirname "$built_exe")" "$drive_c/open"
chmod 0777 "$drive_c/open" "$drive_c/shared" "$drive_c/tools/$service.exe"
chmod 0755 "$drive_c/shared/tools" "$drive_c/tools"
refused_install "from a folder anyone can write" open \
    "Everyone holds FILE_ADD_FILE|FILE_ADD_SUBDIRECTORY|FILE_DELETE_CHILD|DELETE on C:\\open"
refused_install "below a folder anyone can delete children of" 'shared\tools' \
    "Everyone holds FILE_DELETE_CHILD|DELETE on C:\\shared"
refused_install "of an executable anyone can write" tools \
    "Everyone holds FILE_WRITE_DATA|FILE_APPEND_DATA|DELETE on C:\\tools\\$service.exe"
# Wine makes the owner of a file, and the holder of its owner's rights, the account that runs
# Wine (the installing account) when the Unix account that owns the file runs Wine, and
# ANONYMOUS LOGON when another Unix account owns it; and it reports a symbolic link as a reparse
# point.
mkdir -p "$drive_c/foreign" "$drive_c/real"
cp "$built_exe" "$drive_c/foreign/$service.exe"
cp "$built_exe" "$drive_c/real/$service.exe"
ln -s real "$drive_c/linked"
if chown nobody "$drive_c/foreign"; then pass "a folder of another account"; else fail "a folder of another account"; fi
refused_install "from a folder of another account" foreign \
    "NT AUTHORITY\\ANONYMOUS LOGON holds FILE_ADD_FILE|FILE_ADD_SUBDIRECTORY|FILE_DELETE_CHILD|DELETE|WRITE_DAC|WRITE_OWNER on C:\\foreign"
refused_install "through a linked folder" linked "C:\\linked is a junction or a link"

start_line=$(($(session_lines) + 1))
run "-install" 0 "$exe" -install -- "$service is installed."
check_registration
check_service_run "-install" "$start_line"

run "second -install" 0 "$exe" -install -- "CreateService failed w/err 0x00000431"
run "-remove of the stopped service" 0 "$exe" -remove -- "$service is removed."
check_unregistered
run "second -remove" 0 "$exe" -remove -- "OpenService failed w/err 0x00000424"

for ignored in --install - /? -installx; do
    run "$ignored" 0 "$exe" "$ignored" --
done

for spelling in -INSTALL /Install; do
    start_line=$(($(session_lines) + 1))
    run "$spelling" 0 "$exe" "$spelling" -- "$service is installed."
    check_registration
    check_service_run "$spelling" "$start_line"
    run "-remove after $spelling" 0 "$exe" -remove -- "$service is removed."
    check_unregistered
done

# Drives that are not fixed: Wine takes a drive's type from its registry, which its mount manager
# reads when it starts, so the session ends first.
mkdir -p "$work/stick" "$work/share"
cp "$built_exe" "$work/stick/$service.exe"
cp "$built_exe" "$work/share/$service.exe"
ln -s "$work/stick" "$WINEPREFIX/dosdevices/e:"
ln -s "$work/share" "$WINEPREFIX/dosdevices/n:"
wine reg add 'HKLM\Software\Wine\Drives' /v e: /d floppy /f >/dev/null 2>>"$wine_log"
wine reg add 'HKLM\Software\Wine\Drives' /v n: /d network /f >/dev/null 2>>"$wine_log"
end_session
run "-install from a removable drive" 0 "E:\\$service.exe" -install -- \
    "$service is not installed: E:\\ is a removable drive"
check_unregistered
run "-install from a network drive" 0 "N:\\$service.exe" -install -- \
    "$service is not installed: N:\\ is a network drive"
check_unregistered

check_nothing_planted "every run, refused -install, -install, the service and -remove"

echo "wine end to end: $passed checks passed, $failed checks failed"
((failed == 0))
