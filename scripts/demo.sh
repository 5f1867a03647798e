#!/usr/bin/env bash
# Builds the simulator and runs its built-in demo: the real service on a simulated machine.
# Arguments are passed on to the simulator, e.g. `scripts/demo.sh examples/airplane-mode.scenario`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh native
cmake --preset dev >/dev/null
cmake --build --preset dev --target brevrctl-sim -j "${JOBS:-2}" >/dev/null
exec build/dev/simulator/brevrctl-sim "$@"
