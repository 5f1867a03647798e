#!/usr/bin/env bash
# Fuzzes the scenario reader and the simulator's run of what it accepts (tests/fuzz): builds the
# fuzz preset's libFuzzer target with clang, AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs it for SECONDS (default 30) from the seed corpus: the examples, the test scenarios and
# tests/fuzz/corpus, which keeps the input of every fault found. New inputs go to
# build/fuzz/corpus, a crashing one to build/fuzz/crash-*; the run then fails.
#
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail

cd "$(dirname "$0")/.." || exit 1
seconds=${1:-30}
jobs=${JOBS:-2}

bash scripts/setup.sh
mkdir -p build
cmake --preset fuzz >build/fuzz.configure.log 2>&1 || { cat build/fuzz.configure.log; exit 1; }
cmake --build --preset fuzz -j "$jobs" --target brevrctl_scenario_fuzz
mkdir -p build/fuzz/corpus
# -timeout: one input that runs longer than this is a hang (the machine's own idle watchdog gives
# up after 10 s). A run that found nothing ends with libFuzzer's "Done N runs" and status 0.
build/fuzz/tests/fuzz/brevrctl_scenario_fuzz -max_total_time="$seconds" -timeout=30 \
    -dict=tests/fuzz/scenario.dict -artifact_prefix=build/fuzz/ -print_final_stats=1 \
    build/fuzz/corpus tests/fuzz/corpus examples tests/scenarios
