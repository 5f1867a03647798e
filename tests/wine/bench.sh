#!/usr/bin/env bash
# The real BrevRctlService.exe's figures under Wine, against the test switch driver and the Native
# Wifi double with one WLAN interface: footprint after start and after many switch values,
# latency per value one at a time and in bursts, to the reader's next read and to the radio's
# WlanSetInterface, the same for a bare loop of the platform calls one request makes (no queue, no worker), idle CPU
# and wake-ups, stop to exit in each state Wine can reach, and the executable's size. Every
# figure is printed after the command that produced it; a summary with the goals ends the run.
#
# Usage: tests/wine/bench.sh BUILD_DIR WORK_DIR [--smoke]
#   BUILD_DIR: the windows preset's build (BrevRctlService.exe, the switch driver, bench_probe).
#   --smoke: a few hundred values, a short idle, no stops.
# Either run fails if the service's handles, threads or private bytes grow after its first
# bursts, if it uses CPU or wakes a thread while idle, or if its worker misses a value; the other
# goals are reported, not checked.
# Figures come from the Win32 calls a Windows tool would use where Wine implements them, and
# from the Wine process's Linux side (/proc) where it does not; each line says which.
set -uo pipefail

build=$(realpath "$1")
work=$(realpath -m "$2")
smoke=0
[[ ${3:-} == --smoke ]] && smoke=1
if ((smoke)); then
    one_at_a_time=200
    burst_values=200
    burst=100
    more_values=16000
    idle_s=5
    stop_runs=0
else
    one_at_a_time=10000
    burst_values=10000
    burst=1000
    more_values=80000
    idle_s=60
    stop_runs=20
fi
driver_build=$build/tests/wine/switch_driver
bench_dir='bench'
tool="C:\\$bench_dir\\switch_tool.exe"
probe_exe="C:\\$bench_dir\\bench_probe.exe"
# shellcheck source=tests/wine/lib.sh
source "$(dirname "$0")/lib.sh"

summary=()

# probe NAME ARG...: runs bench_probe with ARG..., shows the command and its figures, keeps them
# in $work/NAME.out. Wine's own error channel is on for it, so that what Wine refused is kept
# with the probe's failure. The probe says why whenever it fails (bench_probe.cpp); a run of the
# read-only probes, footprint and threads, that failed without a word of the probe's, Wine's error
# lines aside, was ended by something else, measured nothing and is run again, at most twice,
# saying so. Runs that change something (feed, bare, stop) are never run again.
probe() {
    local name=$1
    shift
    echo "\$ wine bench_probe.exe $*"
    local status attempt attempts=1
    [[ $1 == footprint || $1 == threads ]] && attempts=3
    for ((attempt = 1; attempt <= attempts; attempt++)); do
        status=0
        # No standard input: from a terminal, Wine would give the probe's console that terminal,
        # which a run without one (CI's) never has; so every run is alike.
        WINEDEBUG=-all,err+all wine "$probe_exe" "$@" </dev/null >"$work/$name.out" \
            2>"$work/$name.err" || status=$?
        cat "$work/$name.err" >>"$wine_log"
        if ((status == 0)); then
            tr -d '\r' <"$work/$name.out" | tee "$work/$name.txt" | sed 's/^/  /'
            return 0
        fi
        if ((attempt < attempts)) && [[ ! -s $work/$name.out ]] &&
            ! grep -qvE '^[0-9a-f]+:err:' "$work/$name.err"; then
            echo "  bench_probe $*: exit status $status without a word of its own; run again" \
                "(attempt $((attempt + 1)) of $attempts)"
            tr -d '\r' <"$work/$name.err" | sed 's/^/  stderr: /'
            continue
        fi
        break
    done
    # Everything the run left: its exit status (above 128, the signal that ended the Linux
    # process), what it printed before it ended, and its own standard error.
    fail "bench_probe $*: exit status $status"
    tr -d '\r' <"$work/$name.out" | sed 's/^/  stdout: /'
    tr -d '\r' <"$work/$name.err" | sed 's/^/  stderr: /'
    exit 1
}

# figure NAME KEY: a value bench_probe printed.
figure() {
    awk -v key="$2" '$1 == key { print $2 }' "$work/$1.txt"
}

# The Linux process of a Windows process of this prefix whose command line matches PATTERN.
unix_pid_of() {
    local pid
    for pid in $(pgrep -f "$1"); do
        if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
            echo "$pid"
            return 0
        fi
    done
    return 1
}

# CPU time in ns of every thread of a Linux process, from /proc/PID/task/*/schedstat.
unix_cpu_ns() {
    cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ total += $1 } END { printf "%.0f\n", total }'
}

# Context switches, voluntary or not, of every thread of a Linux process: each is a thread that
# blocked or was preempted.
unix_switches() {
    cat /proc/"$1"/task/*/status 2>/dev/null |
        awk '/ctxt_switches/ { total += $2 } END { printf "%.0f\n", total }'
}

# One line per thread of a Linux process: thread id, context switches (voluntary and not), CPU ns.
unix_threads() {
    local task
    for task in /proc/"$1"/task/*; do
        echo "${task##*/} $(awk '/ctxt_switches/ { n += $2 } END { print n }' "$task/status") \
$(cut -d' ' -f1 "$task/schedstat")"
    done
}

# PagefileUsage, which Windows keeps equal to PrivateUsage; Wine fills only the former.
private_bytes() {
    figure "$1" pagefile_bytes
}

# footprint NAME: the service process's footprint, through Win32 and from its Linux side.
footprint() {
    local name=$1
    probe "$name" footprint
    echo "\$ grep -E 'Threads|RssAnon|VmRSS' /proc/$service_pid/status; ls /proc/$service_pid/fd | wc -l"
    grep -E 'Threads|RssAnon|VmRSS' "/proc/$service_pid/status" | tee "$work/$name.unix" |
        sed 's/^/  /'
    echo "  fds: $(ls "/proc/$service_pid/fd" | wc -l)" | tee -a "$work/$name.unix"
}

# feed NAME PID COUNT BURST [UNIX_PID]: COUNT values in bursts of BURST, with the CPU the Linux
# process PID and the wineserver used meanwhile, per value.
feed() {
    local name=$1 pid=$2 count=$3 size=$4
    shift 4
    local cpu0 server0 switches0 cpu1 server1 switches1
    cpu0=$(unix_cpu_ns "$pid")
    server0=$(unix_cpu_ns "$wineserver_pid")
    switches0=$(unix_switches "$pid")
    probe "$name" feed "$count" "$size" "$@"
    cpu1=$(unix_cpu_ns "$pid")
    server1=$(unix_cpu_ns "$wineserver_pid")
    switches1=$(unix_switches "$pid")
    echo "\$ /proc/PID/task/*/schedstat and status of the reader's process, and schedstat of" \
        "the wineserver, before and after"
    awk -v a="$cpu0" -v b="$cpu1" -v c="$server0" -v d="$server1" -v e="$switches0" \
        -v f="$switches1" -v n="$count" 'BEGIN {
        printf "cpu_us_per_value %.2f\nswitches_per_value %.2f\nwineserver_cpu_us_per_value %.2f\n",
            (b - a) / n / 1000, (f - e) / n, (d - c) / n / 1000 }' |
        tee -a "$work/$name.txt" | sed 's/^/  /'
}

# ratio A B: A / B with two decimals.
ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f\n", (b > 0) ? a / b : 0 }'
}

# goal WHAT MEASURED GOAL MET: one line of the summary.
goal() {
    summary+=("$(printf '%-62s %-28s %-12s %s' "$1" "$2" "$3" "$4")")
}

echo "machine: $(nproc) CPUs, $(uptime)"
wine_boot "$build/$service.exe"
mkdir -p "$WINEPREFIX/drive_c/$bench_dir"
cp "$driver_build/test_switch.sys" "$driver_build/test_switch.inf" "$driver_build/switch_tool.exe" \
    "$build/tests/wine/bench/bench_probe.exe" "$WINEPREFIX/drive_c/$bench_dir/"
run "install the test device" 0 "$tool" install "C:\\$bench_dir\\test_switch.inf" -- \
    "Switch device installed."
run "BIOS status 3" 0 "$tool" bios 3 -- "BIOS wifi status set to 3."
# One interface, its radio on: values off and on in turn each switch it.
install_wlan_double "$build"
run "one WLAN interface" 0 "$wlan_tool" interfaces on:on -- "WLAN interfaces set: 1."
wineserver_pid=$(unix_pid_of wineserver) || { fail "the wineserver's process"; exit 1; }

# --- the bare loop: one reader process, one thread, the platform calls of each request in turn.
# Its standard output is closed, as the service's leads nowhere; its eventlog trace goes to a file
# of its own, as the service's goes to the session's.
echo "=== bare loop"
WINEDEBUG=-all,+eventlog wine "$probe_exe" bare $((one_at_a_time + burst_values)) >&- \
    2>"$work/bare.log" &
bare_job=$!
run "bare loop: the read is pending" 0 "$tool" wait-read -- "A read is pending."
bare_pid=$(unix_pid_of 'bench_probe.exe bare') || { fail "the bare loop's process"; exit 1; }
# Like the service's, each value or burst comes once the loop's process has gone idle.
feed bare_single "$bare_pid" "$one_at_a_time" 1 "$bare_pid"
feed bare_burst "$bare_pid" "$burst_values" "$burst" "$bare_pid"
run "bare loop: its last read" 0 "$tool" switch 0 -- "Read completed with 0."
if wait "$bare_job"; then pass "bare loop: ended"; else fail "bare loop: ended"; fi

# --- the service.
echo "=== service"
records_from=$(($(session_lines) + 1))
run "-install" 0 "$exe" -install -- "$service is installed."
run "the service's first read" 0 "$tool" wait-read -- "A read is pending."
service_pid=$(unix_pid_of "$service.exe") || { fail "the service's process"; exit 1; }
footprint at_start
# The first bursts and the values one at a time warm up what is allocated once: the heap's first
# blocks and the queue's blocks for a burst's worth of values. Growth counts only after both.
feed service_burst "$service_pid" "$burst_values" "$burst" "$service_pid"
feed service_single "$service_pid" "$one_at_a_time" 1 "$service_pid"
footprint after_first
feed service_more "$service_pid" "$more_values" "$burst" "$service_pid"
footprint after_all
values_total=$((burst_values + one_at_a_time + more_values))
# Every value reached the worker: its record is the proof.
worker_records=$(records_since "$records_from" | grep -c 'L"ProcessHotkeyPressed, state: ')
# One more for the BIOS status at start.
if ((worker_records == values_total + 1)); then
    pass "the worker took every value: $worker_records requests"
else
    fail "the worker took $worker_records requests of $((values_total + 1))"
fi

# --- idle: the service waits for the switch.
echo "=== idle, $idle_s s"
probe idle_before threads
unix_threads "$service_pid" >"$work/idle_before.unix"
sleep "$idle_s"
probe idle_after threads
unix_threads "$service_pid" >"$work/idle_after.unix"
echo "\$ /proc/$service_pid/task/*/status and schedstat, before and after: thread, context switches, CPU ns"
paste "$work/idle_before.unix" "$work/idle_after.unix" | sed 's/^/  /'
idle_cpu_ticks=$(paste "$work/idle_before.txt" "$work/idle_after.txt" |
    awk '{ n += ($6 != $3) } END { print n + 0 }')
idle_cpu_ns=$(paste "$work/idle_before.unix" "$work/idle_after.unix" |
    awk '{ n += $6 - $3 } END { printf "%.0f\n", n }')
idle_woke=$(paste "$work/idle_before.unix" "$work/idle_after.unix" |
    awk '$1 != $4 || $2 != $5 { n++ } END { print n + 0 }')
idle_threads=$(wc -l <"$work/idle_after.unix")
# Both snapshots must list the same threads, each with its figures, for the comparison to hold.
if [[ $(cut -d' ' -f1,2 "$work/idle_before.txt") == "$(cut -d' ' -f1,2 "$work/idle_after.txt")" ]] &&
    (($(wc -l <"$work/idle_after.txt") > 0)) &&
    [[ $(cut -d' ' -f1 "$work/idle_before.unix") == "$(cut -d' ' -f1 "$work/idle_after.unix")" ]] &&
    ! grep -qvE '^[0-9]+ [0-9]+ [0-9]+$' "$work/idle_before.unix" "$work/idle_after.unix"; then
    pass "idle: the same $idle_threads threads measured before and after"
else
    fail "idle: the threads measured before and after differ"
fi
if ((idle_cpu_ticks == 0 && idle_cpu_ns == 0)); then pass "idle: no CPU"; else fail "idle: CPU used"; fi
if ((idle_woke == 0)); then pass "idle: no thread woke"; else fail "idle: $idle_woke threads woke"; fi

# --- no growth between the first values and the last. Handles and threads may not grow at all.
# Private bytes are the process's resident anonymous memory: a high-water mark that moves by
# whole pages as a thread or the heap first touches one, once. Under Wine 10.0 it rose after the
# warm-up by up to 72 KiB, as much after 3,000 values as after 9,000, spread over the run, none of
# it in the heap's first mapping (/proc/PID/smaps), with nothing leaking. So 128 KiB is allowed,
# while a leak of the smallest heap block, 16 bytes, a value is 250 KiB over the smoke run's
# 16,000 values after the warm-up, and over 1 MiB over the full run's 80,000.
growth_bytes_max=131072
for key in system_table_handles threads pagefile_bytes; do
    before=$(figure after_first "$key")
    after=$(figure after_all "$key")
    allowed=0 bound=""
    [[ $key == pagefile_bytes ]] && allowed=$growth_bytes_max bound=" beyond 128 KiB"
    if [[ ! $before =~ ^[0-9]+$ || ! $after =~ ^[0-9]+$ ]]; then
        fail "$key not measured: '$before', '$after'"
    elif ((after <= before + allowed)); then
        pass "no growth of $key$bound: $before -> $after"
    else
        fail "growth of $key: $before -> $after"
    fi
done

# --- stops, in each state Wine can reach.
stop_states=()
((stop_runs > 0)) && stop_states=(read-pending wlan-wait not-ready-wait)
# A stop in the readiness wait needs a start that finds no interface.
if ((${#stop_states[@]} > 0)); then
    run "no WLAN interface" 0 "$wlan_tool" interfaces -- "WLAN interfaces set: 0."
fi
for state in "${stop_states[@]}"; do
    echo "=== stop: $state, $stop_runs runs"
    probe "stop_$state" stop "$state" "$stop_runs"
done

# The stops leave the service stopped; otherwise -remove stops it.
if ((${#stop_states[@]} > 0)); then
    run "-remove" 0 "$exe" -remove -- "$service is removed."
else
    run "-remove" 0 "$exe" -remove -- "Stopping $service." "$service is stopped." \
        "$service is removed."
fi
run "remove the test device" 0 "$tool" remove -- "Switch device removed."

# --- size.
echo "=== size"
echo "\$ x86_64-w64-mingw32-strip -o $work/$service.stripped.exe $build/$service.exe"
x86_64-w64-mingw32-strip -o "$work/$service.stripped.exe" "$build/$service.exe"
size_built=$(stat -c %s "$build/$service.exe")
size_stripped=$(stat -c %s "$work/$service.stripped.exe")
echo "  as built $size_built bytes, stripped $size_stripped bytes"

# --- summary.
met() { awk -v ok="$1" 'BEGIN { print (ok ? "yes" : "no") }'; }
f() { figure "$@"; }
goal "Handles (GetProcessHandleCount; Wine answers 0)" \
    "$(f at_start handles) / $(f after_first handles) / $(f after_all handles)" "no growth" "—"
goal "Handles (system handle table): start / $((burst_values + one_at_a_time)) / $values_total values" \
    "$(f at_start system_table_handles) / $(f after_first system_table_handles) / $(f after_all system_table_handles)" \
    "no growth" "$(met "$(($(f after_all system_table_handles) <= $(f after_first system_table_handles)))")"
goal "Private bytes (PagefileUsage), KiB" \
    "$(($(private_bytes at_start) / 1024)) / $(($(private_bytes after_first) / 1024)) / $(($(private_bytes after_all) / 1024))" \
    "+128 KiB" "$(met "$(($(private_bytes after_all) <= $(private_bytes after_first) + growth_bytes_max))")"
goal "Working set, KiB" \
    "$(($(f at_start working_set_bytes) / 1024)) / $(($(f after_first working_set_bytes) / 1024)) / $(($(f after_all working_set_bytes) / 1024))" \
    "—" "—"
goal "Threads (Toolhelp)" "$(f at_start threads) / $(f after_first threads) / $(f after_all threads)" \
    "no growth" "$(met "$(($(f after_all threads) <= $(f after_first threads)))")"
for mode in single burst; do
    label="one at a time"
    [[ $mode == burst ]] && label="bursts of $burst"
    goal "Read -> next read, median / p99 / max us, $label" \
        "$(f "service_$mode" read_to_next_read_median_us) / $(f "service_$mode" read_to_next_read_p99_us) / $(f "service_$mode" read_to_next_read_max_us)" \
        "—" "—"
    goal "  bare loop, same" \
        "$(f "bare_$mode" read_to_next_read_median_us) / $(f "bare_$mode" read_to_next_read_p99_us) / $(f "bare_$mode" read_to_next_read_max_us)" \
        "—" "—"
    goal "Read -> WlanSetInterface, median / p99 / max us, $label" \
        "$(f "service_$mode" read_to_set_median_us) / $(f "service_$mode" read_to_set_p99_us) / $(f "service_$mode" read_to_set_max_us)" \
        "p99 < 1000" "$(met "$(awk -v p="$(f "service_$mode" read_to_set_p99_us)" 'BEGIN { print (p < 1000) }')")"
    goal "  bare loop, same" \
        "$(f "bare_$mode" read_to_set_median_us) / $(f "bare_$mode" read_to_set_p99_us) / $(f "bare_$mode" read_to_set_max_us)" \
        "—" "—"
    set_ratio=$(ratio "$(f "service_$mode" read_to_set_median_us)" "$(f "bare_$mode" read_to_set_median_us)")
    set_p99_ratio=$(ratio "$(f "service_$mode" read_to_set_p99_us)" "$(f "bare_$mode" read_to_set_p99_us)")
    goal "  service / bare, median; p99" "$set_ratio; $set_p99_ratio" "<= 1.3" \
        "$(met "$(awk -v r="$set_ratio" 'BEGIN { print (r <= 1.3) }')")"
    goal "  context switches per value, service / bare" \
        "$(f "service_$mode" switches_per_value) / $(f "bare_$mode" switches_per_value)" "—" "—"
    cpu_ratio=$(ratio "$(f "service_$mode" cpu_us_per_value)" "$(f "bare_$mode" cpu_us_per_value)")
    goal "CPU us per value, service / bare, $label" \
        "$(f "service_$mode" cpu_us_per_value) / $(f "bare_$mode" cpu_us_per_value) = $cpu_ratio" \
        "<= 1.3" "$(met "$(awk -v r="$cpu_ratio" 'BEGIN { print (r <= 1.3) }')")"
done
time_ratio=$(ratio "$(f service_burst pipeline_us_per_value)" "$(f bare_burst pipeline_us_per_value)")
goal "Time us per value, bursts of $burst: service / bare" \
    "$(f service_burst pipeline_us_per_value) / $(f bare_burst pipeline_us_per_value) = $time_ratio" \
    "<= 1.3" "$(met "$(awk -v r="$time_ratio" 'BEGIN { print (r <= 1.3) }')")"
goal "Idle $idle_s s: CPU (GetThreadTimes ticks changed; schedstat ns)" \
    "$idle_cpu_ticks threads; $idle_cpu_ns ns" "0" "$(met "$((idle_cpu_ticks == 0 && idle_cpu_ns == 0))")"
goal "Idle $idle_s s: threads that woke (/proc ctxt switches)" "$idle_woke of $idle_threads" "0" \
    "$(met "$((idle_woke == 0))")"
for state in "${stop_states[@]}"; do
    goal "Stop -> exit, $state: median / max ms, hung of $stop_runs" \
        "$(f "stop_$state" stop_median_ms) / $(f "stop_$state" stop_max_ms), $(f "stop_$state" hung)" \
        "< 100 ms" \
        "$(met "$(awk -v m="$(f "stop_$state" stop_max_ms)" -v h="$(f "stop_$state" hung)" \
            'BEGIN { print (m < 100 && h == 0) }')")"
done
goal "Size as built / stripped, bytes" "$size_built / $size_stripped" "<= 500 KiB" \
    "$(met "$((size_stripped <= 500 * 1024))")"

echo "=== summary ($values_total values: $burst_values in bursts, $one_at_a_time one at a time, $more_values in bursts)"
echo "machine: $(nproc) CPUs, $(uptime)"
printf '%-62s %-28s %-12s %s\n' "Figure" "Measured" "Goal" "Met"
printf '%s\n' "${summary[@]}"
echo "wine benchmark: $passed checks passed, $failed checks failed, $SECONDS s"
((failed == 0))
