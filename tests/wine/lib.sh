# Shared by the Wine end-to-end scripts: a fresh prefix booted into a session that stays up, the
# checks and their count, the readers of Wine's eventlog trace, and the Native Wifi double's
# installation. Sourced, not run.
#
# The caller sets `work` (a directory of its own) and then calls wine_boot.

service=BrevRctlService
service_key='HKLM\System\CurrentControlSet\Services\BrevRctlService'
# A directory with a blank in its name: the registered path must be quoted to survive it.
install_dir='Program Files\BrevRctl Radio'
exe="C:\\$install_dir\\$service.exe"

# Wine derives the DACLs that -install checks from the files' Unix modes: folders and files made
# here are writable by their owner only, whatever the caller's mask.
umask 022

export WINEPREFIX=$work/prefix
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
# Wine's own tools answer in the language of the locale; the checks read their English.
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

# run TITLE STATUS PROGRAM ARG... -- EXPECTED_LINE...: runs a Windows program and checks its exit
# status and everything it printed on its standard output, CR LF included: the C runtime's
# text-mode stdout turns "\n" into CR LF on a pipe. Its standard error is shown when the status
# is not the expected one.
run() {
    local title=$1 expected_status=$2
    shift 2
    local command=()
    while [[ $1 != -- ]]; do
        command+=("$1")
        shift
    done
    shift
    lines_to "$work/expected" $'\r\n' "$@"
    wine "${command[@]}" >"$work/actual" 2>"$work/stderr"
    local status=$?
    cat "$work/stderr" >>"$wine_log"
    if ((status == expected_status)); then
        pass "$title: exit status $status"
    else
        fail "$title: exit status $status"
        cat "$work/stderr"
    fi
    compare "$title: output" "$work/expected" "$work/actual"
}

# Output of a Wine tool with its CR LF line ends made LF. Now and then Wine fails to start one of
# its own programs, and says so on standard output ("ShellExecuteEx failed: Internal error."):
# nothing of the tool ran, so it is started again, at most twice.
wine_tool() {
    local output=$work/wine_tool.out attempt
    for attempt in 1 2 3; do
        wine "$@" 2>>"$wine_log" | tr -d '\r' >"$output"
        grep -q -F 'ShellExecuteEx failed' "$output" || break
        echo "wine_tool: $1 could not be started (attempt $attempt)" >>"$wine_log"
        sleep 1
    done
    cat "$output"
}

# The records written since line FIRST of the session log, without the thread id: Wine's
# eventlog trace prints each string of ReportEventW, information records as trace lines and
# error records as err lines.
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

# What -install registers, as `reg query` of the service's key shows it, with IMAGE_PATH quoted,
# into $work/expected: the values of the Windows documentation of the service keys.
expected_registration() {
    lines_to "$work/expected" $'\n' \
        "" \
        "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\$service" \
        "    DependOnService    REG_MULTI_SZ    WlanSvc" \
        "    DisplayName    REG_SZ    $service" \
        "    ErrorControl    REG_DWORD    0x0" \
        "    ImagePath    REG_SZ    \"$1\"" \
        "    ObjectName    REG_SZ    LocalSystem" \
        "    PreshutdownTimeout    REG_DWORD    0x2bf20" \
        "    Start    REG_DWORD    0x2" \
        "    Type    REG_DWORD    0x10" \
        ""
}

# Compares `sc query` of the service, whole, with a settled STATE ("4  RUNNING", "1  STOPPED")
# and exit code 0.
check_sc_query() {
    local title=$1 state=$2
    lines_to "$work/expected" $'\n' \
        "SERVICE_NAME: $service" \
        "        TYPE               : 10  WIN32_OWN_PROCESS" \
        "        STATE              : $state" \
        "        WIN32_EXIT_CODE    : 0  (0x0)" \
        "        SERVICE_EXIT_CODE  : 0  (0x0)" \
        "        CHECKPOINT         : 0x0" \
        "        WAIT_HINT          : 0x0"
    wine_tool sc query "$service" >"$work/actual"
    compare "$title" "$work/expected" "$work/actual"
}

# Waits until Wine's SCM shows the service stopped (at most 30 s).
wait_until_stopped() {
    local attempt
    for ((attempt = 0; attempt < 60; attempt++)); do
        [[ $(wine_tool sc query "$service") =~ STATE\ +:\ 1\ +STOPPED ]] && return 0
        sleep 0.5
    done
    return 1
}

# The messages of the records that the current service run has written so far, in order; every
# record carries the service name first, then its message.
expected_records=()
run_first_line=1

start_run() {
    expected_records=()
    run_first_line=$(($(session_lines) + 1))
}

# The expected records as the trace shows them, into $work/expected. A message written "err:TEXT"
# stands for an error record, which the trace prints on its err channel.
write_expected_records() {
    local message channel
    : >"$work/expected"
    for message in "${expected_records[@]}"; do
        channel=trace
        if [[ $message == err:* ]]; then
            channel=err
            message=${message#err:}
        fi
        printf '%s:eventlog:ReportEventW L"%s"\n' "$channel" "$service" "$channel" "$message" \
            >>"$work/expected"
    done
}

# Waits until the run has written as many records as expected (the worker writes its records
# after the device loop has handed it the request), then compares them all, in order.
check_records() {
    local title=$1 want=$((2 * ${#expected_records[@]})) attempt
    for ((attempt = 0; attempt < 200; attempt++)); do
        (($(records_since "$run_first_line" | wc -l) >= want)) && break
        sleep 0.2
    done
    write_expected_records
    records_since "$run_first_line" >"$work/actual"
    compare "$title: records" "$work/expected" "$work/actual"
}

# The Native Wifi double (tests/wine/wlanapi) in place of Wine's wlanapi.dll for every process of
# the prefix, the services that Wine's SCM starts included: the DLL in system32 and a DllOverrides
# entry that prefers it to the builtin one. Its tool goes to `wlan_tool`.
wlan_tool='C:\wlan-double\wlan_tool.exe'
install_wlan_double() {
    local built=$1/tests/wine/wlanapi
    cp "$built/wlanapi.dll" "$WINEPREFIX/drive_c/windows/system32/wlanapi.dll"
    mkdir -p "$WINEPREFIX/drive_c/wlan-double"
    cp "$built/wlan_tool.exe" "$WINEPREFIX/drive_c/wlan-double/"
    wine reg add 'HKCU\Software\Wine\DllOverrides' /v wlanapi /d native /f >/dev/null \
        2>>"$wine_log"
}

# The DLLs that must never come from the executable's folder: every DLL its process loads that is
# no KnownDLL (packaging/pe_check.py --known-dlls). Native Wifi and bcrypt, which it loads itself;
# cryptbase, which Windows's advapi32 forwards RtlGenRandom to; and what Wine's own DLLs load
# (kernelbase, ucrtbase, version). A planted copy of each (tests/wine/planted_dll) writes a line to
# C:\planted.log when it is loaded.
planted_names=(wlanapi bcrypt cryptbase kernelbase ucrtbase version)
planted_log=$WINEPREFIX/drive_c/planted.log

# plant_dlls BUILD_DIR FOLDER...: the planted DLL under each name in each FOLDER (Unix paths).
plant_dlls() {
    local built=$1/tests/wine/planted_dll/planted.dll folder name
    shift
    for folder in "$@"; do
        for name in "${planted_names[@]}"; do cp "$built" "$folder/$name.dll"; done
    done
}

# check_loaded_dlls TITLE PROGRAM ARG...: runs PROGRAM with the loader's trace; every
# DLL its process loads must be a KnownDLL or one of planted_names.
check_loaded_dlls() {
    local title=$1
    shift
    WINEDEBUG=+loaddll wine "$@" 2>"$work/loaddll" >/dev/null
    {
        /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/../../packaging/pe_check.py" --known-dlls
        printf '%s.dll\n' "${planted_names[@]}"
    } >"$work/allowed_dlls"
    local others
    others=$(grep -a -o -E 'Loaded L"[^"]+\.dll"' "$work/loaddll" | sed -E 's/.*\\//; s/"$//' |
        tr 'A-Z' 'a-z' | sort -u | grep -v -x -F -f "$work/allowed_dlls" | tr '\n' ' ')
    if [[ -z $others ]]; then
        pass "$title: every DLL it loads is a KnownDLL or planted"
    else
        fail "$title: it loads DLLs that are no KnownDLLs and not planted: $others"
    fi
}

# check_nothing_planted TITLE: no planted DLL has been loaded into any process.
check_nothing_planted() {
    if [[ -s $planted_log ]]; then
        fail "$1: no planted DLL was loaded"
        tr -d '\r' <"$planted_log"
    else
        pass "$1: no planted DLL was loaded"
    fi
}

end_session() {
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
}

# The major version of the Wine that runs the tests ("wine-10.0 (Debian 10.0~repack-6)": 10).
wine_major_version() {
    wine --version 2>/dev/null | sed -E -n 's/^wine-([0-9]+).*/\1/p'
}

# A fresh prefix, booted into a session that stays up, so that the service processes that Wine's
# SCM starts inherit the session's standard error: the eventlog trace. Installs BUILT_EXE where
# `exe` says.
wine_boot() {
    local built_exe=$1
    end_session
    rm -rf "$work"
    mkdir -p "$WINEPREFIX"
    trap end_session EXIT
    wineserver -p
    WINEDEBUG=-all,+eventlog wine cmd /c exit >/dev/null 2>"$session_log"
    mkdir -p "$WINEPREFIX/drive_c/${install_dir//\\//}"
    cp "$built_exe" "$WINEPREFIX/drive_c/${install_dir//\\//}/$service.exe"
    if wait_for_boot_to_settle; then pass "Wine booted"; else fail "Wine's SCM did not settle"; fi
}
