#!/usr/bin/env bash
# The one test command: installs what is missing, then builds and tests every preset in turn
# (native, both sanitizers, and the Windows build under Wine), then runs the real executable
# under Wine, stopping at the first failure. Ends with the line "N passed, N failed", counted
# over every test run.
set -uo pipefail

cd "$(dirname "$0")/.." || exit 1
root=$PWD
jobs=${JOBS:-2}
presets=(dev asan tsan windows)
passed=0
failed=0

summary() {
    echo "$passed passed, $failed failed"
}

fail() {
    echo "test: $*" >&2
    summary
    exit 1
}

seconds_since() {
    echo $((SECONDS - $1))
}

# Adds the counts of a ctest log to the totals: "...tests passed, F tests failed out of T".
count_ctest() {
    local line total bad
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
    [[ -n $line ]] || return 0
    bad=$(sed -E 's/.* ([0-9]+) tests? failed out of.*/\1/' <<<"$line")
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
}

# ThreadSanitizer cannot start where the kernel randomises mmap with more bits than it maps
# ("unexpected memory mapping"); without address randomisation it can.
tsan_prefix() {
    local probe=$root/build/tsan-probe
    mkdir -p "$probe"
    printf 'int main() { return 0; }\n' >"$probe/probe.cpp"
    g++ -fsanitize=thread "$probe/probe.cpp" -o "$probe/probe" || return 0
    if [[ $("$probe/probe" 2>&1) == *"unexpected memory mapping"* ]]; then
        echo "setarch $(uname -m) -R"
    fi
}

bash scripts/setup.sh || fail "setup failed"
mkdir -p build

for preset in "${presets[@]}"; do
    prefix=()
    [[ $preset == tsan ]] && read -ra prefix <<<"$(tsan_prefix)"
    ((${#prefix[@]})) && echo "test: tsan runs without address randomisation (${prefix[*]})"

    echo "=== $preset"
    start=$SECONDS
    "${prefix[@]}" cmake --preset "$preset" >"build/$preset.configure.log" 2>&1 ||
        { cat "build/$preset.configure.log"; fail "$preset: configure failed"; }
    "${prefix[@]}" cmake --build --preset "$preset" -j "$jobs" || fail "$preset: build failed"
    build_s=$(seconds_since "$start")

    start=$SECONDS
    log=build/$preset/ctest.log
    "${prefix[@]}" ctest --preset "$preset" -j "$jobs" --output-on-failure 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    count_ctest "$log"
    test_s=$(seconds_since "$start")
    echo "time: $preset build ${build_s} s, test ${test_s} s"
    ((status == 0)) || fail "$preset: tests failed"
done

# The real executable under Wine, each script counted as one test.
end_to_end() {
    local title=$1
    shift
    echo "=== $title"
    local start=$SECONDS status=0
    bash "$@" || status=$?
    echo "time: $title $(seconds_since "$start") s"
    if ((status == 0)); then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        fail "$title failed"
    fi
}
# The scenario reader fuzzed for 30 s (its own clang build); the long run is docs/simulator.md's.
end_to_end "scenario fuzzing, 30 s" scripts/fuzz.sh 30
end_to_end "windows end to end" tests/wine/e2e.sh build/windows/BrevRctlService.exe \
    build/windows/e2e
end_to_end "windows end to end with a switch device" tests/wine/switch_e2e.sh build/windows \
    build/windows/switch_e2e
end_to_end "windows end to end of the installer package" tests/wine/msi_e2e.sh build/windows \
    build/windows/msi_e2e
# The executable's benchmark under Wine, short: its footprint must not grow and it must use no
# CPU and wake no thread while idle. The full run is tests/wine/bench.sh without --smoke.
end_to_end "windows benchmark, smoke run" tests/wine/bench.sh build/windows \
    build/windows/bench_smoke --smoke

summary
