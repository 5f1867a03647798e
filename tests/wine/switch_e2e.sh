#!/usr/bin/env bash
# End to end under Wine with a switch device and a radio: the test switch driver
# (tests/wine/switch_driver) plays the radio switch driver and the Native Wifi double
# (tests/wine/wlanapi) the WLAN interfaces for the real BrevRctlService.exe, in a fresh prefix.
# The service finds and opens the device, waits for the WLAN interfaces, asks for the BIOS wifi
# status, turns switch values into radio requests that its worker applies to the first PHY of
# every interface unless airplane mode is on, waits out a not-ready read, and ends its pending
# read when -remove stops it; the double then holds nothing for it. Every record is taken from
# Wine's eventlog trace and compared whole, in order, as are every line the executable and the
# tools print (CR LF included), the driver's own count of pending, cancelled and status requests,
# and the double's log of sets. Then the driver breaks its contract: it completes every read
# without data for ten seconds, which must cost the service little CPU, few reads and two
# records, it delivers values beyond the event queue's bound, and it refuses cancellation, which
# must still let the stop end. Last, the conformance suite's device and WLAN tests run on the
# same device and double. Planted DLLs lie beside the executable (see tests/wine/e2e.sh): the
# service loads Native Wifi from System32, the double, never the one beside it.
#
# Usage: tests/wine/switch_e2e.sh BUILD_DIR WORK_DIR
#   BUILD_DIR: the windows preset's build (BrevRctlService.exe, tests/wine/switch_driver/,
#   tests/wine/wlanapi/).
set -uo pipefail

build=$(realpath "$1")
work=$(realpath -m "$2")
driver_build=$build/tests/wine/switch_driver
driver_dir='switch-driver'
tool="C:\\$driver_dir\\switch_tool.exe"
inf="C:\\$driver_dir\\test_switch.inf"
# shellcheck source=tests/wine/lib.sh
source "$(dirname "$0")/lib.sh"

# check_start TITLE ATTEMPTS RECORD...: the start of a run up to its first read: OnStart, the
# readiness wait's ATTEMPTS (ten while the double lists no interface), then the BIOS status
# request's records and what the worker made of it.
check_start() {
    local title=$1 attempts=$2 attempt
    shift 2
    expected_records+=("BrevRbtnService in OnStart" "WaitUntilCanQuerryWlanState")
    for ((attempt = 0; attempt < attempts; attempt++)); do
        expected_records+=("TryQueryWlanState")
    done
    expected_records+=("$@")
    check_records "$title"
}

# The readiness attempts the current run has recorded so far.
attempts_so_far() {
    records_since "$run_first_line" | grep -cxF 'trace:eventlog:ReportEventW L"TryQueryWlanState"'
}

# check_wlan TITLE LINE...: the double's interfaces, and what the service's process holds of it,
# as its tool prints them once no client handle is open.
check_wlan() {
    local title=$1
    shift
    run "$title: the double's state" 0 "$wlan_tool" state -- "$@"
}

check_running() {
    check_sc_query "$1: the service runs" "4  RUNNING"
}

# switch_value VALUE STATE [RECORD...]: the driver completes the pending read with VALUE; the
# device loop maps it to the radio request STATE and the worker takes it, writing RECORD... as it
# applies it to the WLAN interfaces.
switch_value() {
    local value=$1 state=$2
    shift 2
    run "switch value $value" 0 "$tool" switch "$value" -- "Read completed with $value."
    expected_records+=("DoUpdateWifiState, validStatus: TRUE, wifiStatus: $value, wifiState: $state"
        "ProcessHotkeyPressed, state: $state" "$@")
    check_records "switch value $value"
}

# Airplane mode as Windows keeps it: the default value of SystemRadioState, 1 for on.
set_airplane_mode() {
    wine reg add 'HKLM\SYSTEM\CurrentControlSet\Control\RadioManagement\SystemRadioState' \
        /ve /t REG_DWORD /d "$1" /f >/dev/null 2>>"$wine_log"
}

# -remove while the device loop is blocked in its read: the stop cancels the read, the loop ends.
remove_running_service() {
    local title=$1
    run "$title: the read is pending" 0 "$tool" wait-read -- "A read is pending."
    run "$title: -remove" 0 "$exe" -remove -- \
        "Stopping $service." "$service is stopped." "$service is removed."
    expected_records+=("BrevRbtnService in OnStop" "Cannot read device!")
    check_records "$title: -remove"
}

# The processes of this prefix whose command line names the service's executable; other
# prefixes on the machine may run the same executable at the same time.
service_pids() {
    local pid
    for pid in $(pgrep -f "$service.exe"); do
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
            echo "$pid"
    done
}

# The service's process has ended within a second of -remove printing "is stopped.".
check_process_gone() {
    local attempt
    for ((attempt = 0; attempt < 10; attempt++)); do
        if [[ -z $(service_pids) ]]; then
            pass "$1: the service's process ended within a second"
            return
        fi
        sleep 0.1
    done
    fail "$1: the service's process still runs a second after the stop: $(service_pids)"
}

# Waits until the run has written MESSAGE (at most 30 s).
wait_for_record() {
    local message=$1 attempt
    for ((attempt = 0; attempt < 150; attempt++)); do
        records_since "$run_first_line" | grep -qxF "trace:eventlog:ReportEventW L\"$message\"" &&
            return 0
        sleep 0.2
    done
    fail "no record \"$message\" within 30 s"
    return 1
}

# -remove while the device loop waits, with no read pending: its three lines exactly, the end of
# the records, and no process left behind. The stop must end the wait itself.
remove_waiting_service() {
    local title=$1
    if [[ -n $(service_pids) ]]; then
        pass "$title: the service's process runs"
    else
        fail "$title: the service's process runs"
    fi
    run "$title: -remove" 0 "$exe" -remove -- \
        "Stopping $service." "$service is stopped." "$service is removed."
    check_process_gone "$title"
    expected_records+=("BrevRbtnService in OnStop" "Cannot read device!")
}

# The deleted service leaves Wine's SCM once its process has ended; a new install must wait.
check_service_gone() {
    local attempt
    for ((attempt = 0; attempt < 60; attempt++)); do
        if ! wine sc query "$service" >/dev/null 2>&1 &&
            ! wine reg query "$service_key" >/dev/null 2>&1; then
            pass "$1: the service is gone"
            return
        fi
        sleep 0.5
    done
    fail "$1: the service is gone"
}

wine_boot "$build/$service.exe"
mkdir -p "$WINEPREFIX/drive_c/$driver_dir"
cp "$driver_build/test_switch.sys" "$driver_build/test_switch.inf" "$driver_build/switch_tool.exe" \
    "$WINEPREFIX/drive_c/$driver_dir/"

install_wlan_double "$build"
plant_dlls "$build" "$WINEPREFIX/drive_c/${install_dir//\\//}"
run "install the test device" 0 "$tool" install "$inf" -- "Switch device installed."
run "the double starts empty" 0 "$wlan_tool" reset -- "Native Wifi double reset."

# --- first run: the BIOS holds status 3 (radio on); no WLAN interface until the readiness wait's
# second attempt, then two, the second with two PHYs, all radios off but its second PHY;
# switch values 0 to 3, one query and one set refused, one value in airplane mode; a not-ready
# read.
run "BIOS status 3" 0 "$tool" bios 3 -- "BIOS wifi status set to 3."
start_run
run "first run: -install" 0 "$exe" -install -- "$service is installed."
for ((attempt = 0; attempt < 150 && $(attempts_so_far) < 2; attempt++)); do sleep 0.2; done
run "first run: the interfaces appear" 0 "$wlan_tool" interfaces off:on off:off/on:on -- \
    "WLAN interfaces set: 2."
attempts_before=$(attempts_so_far)
wait_for_record "ProcessHotkeyPressed, state: 1"
# An attempt that began before the interfaces came may have found none; the next one finds them.
attempts=$(attempts_so_far)
if ((attempts == attempts_before + 1 || attempts == attempts_before)); then
    pass "first run: the wait ended at the attempt after the interfaces came ($attempts)"
else
    fail "first run: $attempts attempts, $attempts_before before the interfaces came"
fi
# The BIOS asks for the radio on: both first PHYs are set on, the second one's hardware state
# going back off as queried.
check_start "first run: start" "$attempts" "Send request sucessful!" \
    "ReadAndUpdateWlanState, bSendRet: TRUE" \
    "DoUpdateWifiState, validStatus: TRUE, wifiStatus: 3, wifiState: 1" \
    "ProcessHotkeyPressed, state: 1" "Wlan state is ON" "Wlan state is ON"
check_running "first run"

switch_value 0 0 "Wlan state is OFF" "Wlan state is OFF"
check_wlan "switch value 0" "interface 0: off:on" "interface 1: off:off on:on" \
    "clients open: 0, allocations live: 0, bad frees: 0, sets: 4"
# The first interface's query fails as for an interface gone meanwhile (ERROR_NOT_FOUND): the
# second is still switched.
run "refuse a query" 0 "$wlan_tool" refuse WlanQueryInterface 1168 -- \
    "WlanQueryInterface refused 1 times with 1168."
switch_value 1 1 "err:WlanQueryInterface failed w/err 0x00000490" "Wlan state is ON"
# The first interface is off already: only the second is to be switched, and that set is refused.
run "refuse a set" 0 "$wlan_tool" refuse WlanSetInterface 5 -- \
    "WlanSetInterface refused 1 times with 5."
switch_value 2 0 "err:Switch state WLAN to OFF failed failed w/err 0x00000005"
set_airplane_mode 1
switch_value 3 1 "ProcessHotkeyPressed Airplane mode on, do nothing"
set_airplane_mode 0
# The second interface is still on: only the first is switched.
switch_value 1 1 "Wlan state is ON"
check_wlan "first run's values" "interface 0: on:on" "interface 1: on:off on:on" \
    "clients open: 0, allocations live: 0, bad frees: 0, sets: 7"
# For the log: what the executable wrote of the radio, as Wine's trace has it.
echo "first run: the radio's records:"
records_since "$run_first_line" | grep -E 'Wlan state|WLAN to|Airplane' | sed 's/^/  /'
# Every set the service made, whole: the first PHY, 12 bytes, the hardware state as queried.
run "first run: the sets" 0 "$wlan_tool" sets -- \
    "set 0: interface 0, size 12, phy 0, software on, hardware on, result 0" \
    "set 1: interface 1, size 12, phy 0, software on, hardware off, result 0" \
    "set 2: interface 0, size 12, phy 0, software off, hardware on, result 0" \
    "set 3: interface 1, size 12, phy 0, software off, hardware off, result 0" \
    "set 4: interface 1, size 12, phy 0, software on, hardware off, result 0" \
    "set 5: interface 1, size 12, phy 0, software off, hardware off, result 5" \
    "set 6: interface 0, size 12, phy 0, software on, hardware on, result 0"

# No resume comes under Wine: the wait makes its fifteen pauses and the loop reads again.
run "not-ready read" 0 "$tool" not-ready -- "Read failed as not ready."
expected_records+=("Device not ready!, Wait resume event"
    "Device not ready!, Wait resume event end, don't call update wlan state")
check_records "not-ready read"

remove_running_service "first run"
run "first run: the driver's count" 0 "$tool" state -- \
    "reads pending: 0, reads cancelled: 1, status requests: 1"
check_service_gone "first run"

# --- second run on the same device: the status request fails; reading goes on all the same.
run "BIOS status fails" 0 "$tool" bios-fail -- "BIOS wifi status requests fail."
start_run
run "second run: -install" 0 "$exe" -install -- "$service is installed."
# The interfaces are there: the first attempt succeeds.
check_start "second run: start" 1 "Send request failed!" "ReadAndUpdateWlanState, bSendRet: FALSE" \
    "ReadAndUpdateWlanState ignore update wlan state because can't read wifi status from Bios"
switch_value 4 1
remove_running_service "second run"
run "second run: the driver's count" 0 "$tool" state -- \
    "reads pending: 0, reads cancelled: 2, status requests: 2"
check_service_gone "second run"

# --- stops while the device loop waits, several times each: the stop must reach a loop that has
# no read pending. With no WLAN interface every start spends ten seconds in the readiness wait;
# the number of attempts seen before the stop depends on timing, so the records are compared
# with each run of repeated attempt records taken as one.
run "BIOS status 3 again" 0 "$tool" bios 3 -- "BIOS wifi status set to 3."
run "no WLAN interface" 0 "$wlan_tool" interfaces -- "WLAN interfaces set: 0."
for round in 1 2 3; do
    title="stop in the readiness wait $round"
    start_run
    run "$title: -install" 0 "$exe" -install -- "$service is installed."
    wait_for_record "TryQueryWlanState"
    sleep "0.$((round * 3))"
    remove_waiting_service "$title"
    expected_records=("BrevRbtnService in OnStart" "WaitUntilCanQuerryWlanState" "TryQueryWlanState"
        "BrevRbtnService in OnStop" "Cannot read device!")
    write_expected_records
    records_since "$run_first_line" | paste - - | uniq | tr '\t' '\n' >"$work/actual"
    compare "$title: records" "$work/expected" "$work/actual"
    check_service_gone "$title"
done

# One interface, already on: the readiness wait ends at once, and the BIOS status changes nothing.
run "one WLAN interface, on" 0 "$wlan_tool" interfaces on:on -- "WLAN interfaces set: 1."
for round in 1 2 3; do
    title="stop in the not-ready wait $round"
    start_run
    run "$title: -install" 0 "$exe" -install -- "$service is installed."
    check_start "$title: start" 1 "Send request sucessful!" \
        "ReadAndUpdateWlanState, bSendRet: TRUE" \
        "DoUpdateWifiState, validStatus: TRUE, wifiStatus: 3, wifiState: 1" \
        "ProcessHotkeyPressed, state: 1"
    run "$title: not-ready read" 0 "$tool" not-ready -- "Read failed as not ready."
    wait_for_record "Device not ready!, Wait resume event"
    sleep "0.$((round * 3))"
    expected_records+=("Device not ready!, Wait resume event")
    remove_waiting_service "$title"
    # The stop cuts the wait short, which still ends with its record before the read that the
    # stop fails.
    expected_records=("${expected_records[@]:0:${#expected_records[@]}-1}"
        "Device not ready!, Wait resume event end, don't call update wlan state"
        "Cannot read device!")
    check_records "$title"
    check_service_gone "$title"
done
run "the stops in waits: the driver's count" 0 "$tool" state -- \
    "reads pending: 0, reads cancelled: 2, status requests: 5"
# Eight service runs later, every client handle closed and every list and result freed once.
check_wlan "all runs" "interface 0: on:on" \
    "clients open: 0, allocations live: 0, bad frees: 0, sets: 7"

# --- a driver outside its contract: for ten seconds every read completes at once without data,
# which costs the service about a read a second and two records, and the first whole value
# after it is applied; then the driver keeps its read however the stop cancels it, and the stop
# ends without it after two seconds, the process staying until the driver lets the read go.
title="short-read flood"
start_run
run "$title: -install" 0 "$exe" -install -- "$service is installed."
check_start "$title: start" 1 "Send request sucessful!" "ReadAndUpdateWlanState, bSendRet: TRUE" \
    "DoUpdateWifiState, validStatus: TRUE, wifiStatus: 3, wifiState: 1" \
    "ProcessHotkeyPressed, state: 1"
run "$title: the read is pending" 0 "$tool" wait-read -- "A read is pending."
flood_pid=$(service_pids)
# CPU time in ns of every thread of the service's Linux process.
service_cpu_ns() {
    cat /proc/"$flood_pid"/task/*/schedstat 2>/dev/null | awk '{ total += $1 } END { printf "%.0f\n", total }'
}
cpu_before=$(service_cpu_ns)
flood_began=$EPOCHREALTIME
run "$title: on" 0 "$tool" short-read-flood on -- "Reads complete at once without data."
sleep 10
run "$title: off" 0 "$tool" short-read-flood off -- "Reads wait for a value."
flood_ms=$(awk -v a="$flood_began" -v b="$EPOCHREALTIME" 'BEGIN { printf "%d", (b - a) * 1000 }')
cpu_ms=$((($(service_cpu_ns) - cpu_before) / 1000000))
empty_reads=$(wine_tool "$tool" empty-reads | sed -n 's/^reads without data: //p')
# At most nine reads in the first 1.3 s, then one a second.
reads_max=$((9 + flood_ms / 1000))
echo "$title: $empty_reads reads without data in $flood_ms ms, $cpu_ms ms of CPU"
if [[ $empty_reads =~ ^[0-9]+$ ]] && ((empty_reads >= 5 && empty_reads <= reads_max)); then
    pass "$title: $empty_reads reads in $flood_ms ms (at most $reads_max)"
else
    fail "$title: $empty_reads reads in $flood_ms ms (at most $reads_max)"
fi
if ((cpu_ms <= 500)); then
    pass "$title: $cpu_ms ms of CPU in $flood_ms ms (at most 500)"
else
    fail "$title: $cpu_ms ms of CPU in $flood_ms ms (at most 500)"
fi
expected_records+=("Short read from device ignored, bytesRead: 0")
check_records "$title: one record for the run"
expected_records+=("Short reads from device ended, count: $empty_reads")
switch_value 0 0 "Wlan state is OFF"
switch_value 1 1 "Wlan state is ON"

# Values beyond the queue's bound, 1 and 0 in turn, as fast as the service reads them, while the
# worker's first set takes ten seconds: the queue fills, and the newest queued value is replaced
# from then on. Each value has its record; the queue's filling up has one; the last value, 0, is
# applied last.
title="flood of values"
flood_values=16384
flood_first_line=$(($(session_lines) + 1))
grep -E 'RssAnon' "/proc/$flood_pid/status" | sed "s/^/$title: before: /"
run "$title: a slow set" 0 "$wlan_tool" slow-set 10000 -- \
    "The next WlanSetInterface waits 10000 ms."
run "$title" 0 "$tool" flood "$flood_values" -- "$flood_values values read."
# The slow set began with the first value; once it is over, the worker applies what is queued.
sleep 10
flood_records() { records_since "$flood_first_line" | grep -E '^trace:eventlog:ReportEventW L"[^B]'; }
previous=-1
for ((attempt = 0; attempt < 120; attempt++)); do
    now=$(flood_records | wc -l)
    ((now == previous)) && break
    previous=$now
    sleep 0.5
done
grep -E 'RssAnon' "/proc/$flood_pid/status" | sed "s/^/$title: after: /"
delivered=$(flood_records | grep -c 'L"DoUpdateWifiState, ')
applied=$(flood_records | grep -c 'L"ProcessHotkeyPressed, state: ')
full=$(flood_records | grep -cxF \
    'trace:eventlog:ReportEventW L"Event queue full, newest request replaced, queueLength: 4096"')
last=$(flood_records | grep 'L"ProcessHotkeyPressed, state: ' | tail -n 1)
switched=$(flood_records | grep -c 'L"Wlan state is ')
echo "$title: $delivered values read, $applied applied, $full records of the full queue"
if ((delivered == flood_values && full == 1 && applied > 4096 && applied < flood_values)); then
    pass "$title: every value read, $applied applied, the queue's filling up written once"
else
    fail "$title: $delivered values read, $applied applied, $full records of the full queue"
fi
if [[ $last == 'trace:eventlog:ReportEventW L"ProcessHotkeyPressed, state: 0"' ]]; then
    pass "$title: the last value is applied last"
else
    fail "$title: the last request applied: $last"
fi
check_wlan "$title" "interface 0: off:on" \
    "clients open: 0, allocations live: 0, bad frees: 0, sets: $((9 + switched))"
start_run
switch_value 1 1 "Wlan state is ON"

title="refused cancellation"
run "$title: refuse" 0 "$tool" cancel refuse -- "Reads refuse cancellation."
run "$title: the read is pending" 0 "$tool" wait-read -- "A read is pending."
stop_began=$EPOCHREALTIME
# The stop's handler cancels for two seconds before it reports SERVICE_STOPPED, and the SCM's
# ControlService returns once the handler has: the remover then finds the service stopped.
run "$title: -remove" 0 "$exe" -remove -- \
    "Stopping $service." "$service is stopped." "$service is removed."
stop_ms=$(awk -v a="$stop_began" -v b="$EPOCHREALTIME" 'BEGIN { printf "%d", (b - a) * 1000 }')
if ((stop_ms >= 2000 && stop_ms <= 8000)); then
    pass "$title: the stop ended in $stop_ms ms (2 s of cancels, at most 8 s)"
else
    fail "$title: the stop ended in $stop_ms ms (2 s of cancels, at most 8 s)"
fi
# CancelIoEx succeeds once it has found the read, whatever its driver then does, as Windows
# documents ("successfully requested") and Wine 8.0 answers; Wine 10.0 answered ERROR_NOT_FOUND
# (1168) to the last of the cancels of a read its driver keeps.
cancel_error=0
[[ $(wine_major_version) == 10 ]] && cancel_error=1168
expected_records+=("BrevRbtnService in OnStop" "Cannot cancel device request!, lastError: $cancel_error")
check_records "$title: the stop"
if [[ -n $(service_pids) ]]; then
    pass "$title: the process stays while the driver holds the read"
else
    fail "$title: the process stays while the driver holds the read"
fi
# The read's value ends the device loop; the worker has ended, so nothing applies it.
run "$title: the driver lets the read go" 0 "$tool" switch 0 -- "Read completed with 0."
expected_records+=("DoUpdateWifiState, validStatus: TRUE, wifiStatus: 0, wifiState: 0"
    "Cannot read device!")
check_records "$title: the read's end"
check_process_gone "$title"
run "$title: honour" 0 "$tool" cancel honour -- "Reads honour cancellation."
check_service_gone "$title"
run "$title: the driver's count" 0 "$tool" state -- \
    "reads pending: 0, reads cancelled: 2, status requests: 6"
check_wlan "$title" "interface 0: on:on" \
    "clients open: 0, allocations live: 0, bad frees: 0, sets: $((10 + switched))"

# --- the conformance suite's device and WLAN tests (tests/conformance/), on the same device and
# double with no service running: cancellation of a read and of a held status request; Native
# Wifi's argument checks, queries and sets.
conformance=$build/tests/conformance/brevrctl_conformance.exe
if wine "$conformance" --gtest_filter='Device.*:Wlan.*' >"$work/conformance.log" 2>&1 &&
    ! grep -q SKIPPED "$work/conformance.log"; then
    pass "conformance suite: device and WLAN tests"
else
    fail "conformance suite: device and WLAN tests"
    cat "$work/conformance.log"
fi

# --- the device goes; its interface with it.
run "remove the test device" 0 "$tool" remove -- "Switch device removed."
run "the removed device's interface" 1 "$tool" state --
lines_to "$work/expected" $'\r\n' "IOCTL_SWITCH_TEST_GET_STATE failed w/err 0x00000002"
compare "the removed device's interface: error" "$work/expected" "$work/stderr"

check_nothing_planted "the service's runs with Native Wifi"

echo "wine end to end with a switch device: $passed checks passed, $failed checks failed," \
    "$SECONDS s"
((failed == 0))
