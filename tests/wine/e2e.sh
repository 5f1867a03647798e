#!/usr/bin/env bash
# End to end under Wine: the real BrevRctlService.exe, in a fresh prefix, run from the console,
# installed, started by Wine's SCM, and removed. Every line the executable prints is compared
# whole (CR LF included: the C runtime's text-mode stdout turns "\n" into CR LF on a pipe); the
# registration is read back from Wine's registry; the service's records are taken from Wine's
# eventlog trace, which prints each string of ReportEventW (information records as trace lines,
# error records as err lines).
#
# Usage: tests/wine/e2e.sh BUILT_EXE WORK_DIR
set -uo pipefail

built_exe=$(realpath "$1")
work=$(realpath -m "$2")
service=BrevRctlService
service_key='HKLM\System\CurrentControlSet\Services\BrevRctlService'
# A directory with a blank in its name: the registered path must be quoted to survive it.
install_dir='Program Files\BrevRctl Radio'
exe="C:\\$install_dir\\$service.exe"

export WINEPREFIX=$work/prefix
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
# Wine's own tools answer in the language of the locale; the checks below read their English.
export LC_ALL=C
session_log=$work/session.log
wine_log=$work/wine.log

passed=0
failed=0

pass() {
    passed=$((passed + 1))
    echo "ok: $1"
}

fail() {
    failed=$((failed + 1))
    echo "FAILED: $1"
}

# Compares two files; on a difference shows both with their line ends visible.
compare() {
    local title=$1 expected=$2 actual=$3
    if cmp -s "$expected" "$actual"; then
        pass "$title"
    else
        fail "$title"
        echo "--- expected"
        cat -A "$expected"
        echo "--- actual"
        cat -A "$actual"
    fi
}

# Writes its arguments to FILE, one line each with the given line end; nothing for no lines.
lines_to() {
    local file=$1 ending=$2
    shift 2
    : >"$file"
    local line
    for line in "$@"; do printf '%s%s' "$line" "$ending" >>"$file"; done
}

# run_exe TITLE ARG... -- EXPECTED_LINE...: runs the executable from the console and checks its
# exit status (always 0) and everything it printed.
run_exe() {
    local title=$1
    shift
    local args=()
    while [[ $1 != -- ]]; do
        args+=("$1")
        shift
    done
    shift
    lines_to "$work/expected" $'\r\n' "$@"
    wine "$exe" "${args[@]}" >"$work/actual" 2>>"$wine_log"
    local status=$?
    if ((status == 0)); then pass "$title: exit status 0"; else fail "$title: exit status $status"; fi
    compare "$title: output" "$work/expected" "$work/actual"
}

# Output of a Wine tool with its CR LF line ends made LF.
wine_tool() {
    wine "$@" 2>>"$wine_log" | tr -d '\r'
}

# The records written since line FIRST of the session log, without the thread id.
records_since() {
    tail -n +"$1" "$session_log" | grep -E '^[0-9a-f]+:[a-z]+:eventlog:ReportEventW ' |
        sed -E 's/^[0-9a-f]+://'
}

session_lines() {
    wc -l <"$session_log"
}

# Right after boot, Wine's SCM may still be starting the automatic services, and a start request
# made meanwhile fails with ERROR_SERVICE_DATABASE_LOCKED. A start of a service that already runs
# answers "already running" only when no start is in progress; wait for two such answers.
wait_for_boot_to_settle() {
    local quiet=0 attempt
    for ((attempt = 0; attempt < 120; attempt++)); do
        if [[ $(wine_tool net start PlugPlay) == *"already running"* ]]; then
            quiet=$((quiet + 1))
            ((quiet == 2)) && return 0
        else
            quiet=0
        fi
        sleep 0.5
    done
    return 1
}

wait_until_stopped() {
    local attempt
    for ((attempt = 0; attempt < 60; attempt++)); do
        [[ $(wine_tool sc query "$service") =~ STATE\ +:\ 1\ +STOPPED ]] && return 0
        sleep 0.5
    done
    return 1
}

# The service process that the SCM starts finds no switch device (Wine has none), writes its two
# records, and ends stopped with exit code 0.
check_service_run() {
    local title=$1 first_line=$2
    if wait_until_stopped; then pass "$title: the service stopped"; else fail "$title: the service did not stop"; fi
    lines_to "$work/expected" $'\n' \
        "SERVICE_NAME: $service" \
        "        TYPE               : 10  WIN32_OWN_PROCESS" \
        "        STATE              : 1  STOPPED" \
        "        WIN32_EXIT_CODE    : 0  (0x0)" \
        "        SERVICE_EXIT_CODE  : 0  (0x0)" \
        "        CHECKPOINT         : 0x0" \
        "        WAIT_HINT          : 0x0"
    wine_tool sc query "$service" >"$work/actual"
    compare "$title: final status" "$work/expected" "$work/actual"
    lines_to "$work/expected" $'\n' \
        "trace:eventlog:ReportEventW L\"$service\"" \
        'trace:eventlog:ReportEventW L"BrevRbtnService in OnStart"' \
        "trace:eventlog:ReportEventW L\"$service\"" \
        'trace:eventlog:ReportEventW L"Cannot open device!"'
    records_since "$first_line" >"$work/actual"
    compare "$title: records" "$work/expected" "$work/actual"
}

check_registration() {
    lines_to "$work/expected" $'\n' \
        "" \
        "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\$service" \
        "    DependOnService    REG_MULTI_SZ    WlanSvc" \
        "    DisplayName    REG_SZ    $service" \
        "    ErrorControl    REG_DWORD    0x0" \
        "    ImagePath    REG_SZ    \"$exe\"" \
        "    ObjectName    REG_SZ    LocalSystem" \
        "    PreshutdownTimeout    REG_DWORD    0x2bf20" \
        "    Start    REG_DWORD    0x2" \
        "    Type    REG_DWORD    0x10" \
        ""
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

end_session() {
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
}

# --- a fresh prefix, booted into a session that stays up, so that the service processes that
# Wine's SCM starts inherit the session's standard error: the eventlog trace.
end_session
rm -rf "$work"
mkdir -p "$WINEPREFIX"
trap end_session EXIT
wineserver -p
WINEDEBUG=-all,+eventlog wine cmd /c exit >/dev/null 2>"$session_log"
mkdir -p "$WINEPREFIX/drive_c/${install_dir//\\//}"
cp "$built_exe" "$WINEPREFIX/drive_c/${install_dir//\\//}/$service.exe"
if wait_for_boot_to_settle; then pass "Wine booted"; else fail "Wine's SCM did not settle"; fi

usage=("Parameters:" " -install  to install the service." " -remove   to remove the service.")

run_exe "console run" -- "${usage[@]}" "Service failed to run w/err 0x00000427"

start_line=$(($(session_lines) + 1))
run_exe "-install" -install -- "$service is installed."
check_registration
check_service_run "-install" "$start_line"

run_exe "second -install" -install -- "CreateService failed w/err 0x00000431"
run_exe "-remove of the stopped service" -remove -- "$service is removed."
check_unregistered
run_exe "second -remove" -remove -- "OpenService failed w/err 0x00000424"

for ignored in --install - /? -installx; do
    run_exe "$ignored" "$ignored" --
done

for spelling in -INSTALL /Install; do
    start_line=$(($(session_lines) + 1))
    run_exe "$spelling" "$spelling" -- "$service is installed."
    check_registration
    check_service_run "$spelling" "$start_line"
    run_exe "-remove after $spelling" -remove -- "$service is removed."
    check_unregistered
done

echo "wine end to end: $passed checks passed, $failed checks failed"
((failed == 0))
