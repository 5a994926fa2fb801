#!/usr/bin/env bash
# The project's demo: installs what is missing, builds the win64 preset and runs each demo step
# under Wine. KARVETH_BUILD_DIR names another build folder to configure and build (default build/win64).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${KARVETH_BUILD_DIR:-build/win64}

bash scripts/setup.sh
source scripts/wine-env.sh
cmake --preset win64 -B "$build_dir" >/dev/null
cmake --build "$build_dir"

# Called as a condition: a wineserver that already runs for the prefix makes its start fail harmlessly.
if ! karveth_wine_start; then
    echo "warning: starting Wine reported a failure" >&2
fi
trap karveth_wine_stop EXIT

# authbridge: a parent authenticates sample tickets with the stand-in Steam library and polls
# for the notices that follow.
demo_authbridge() {
    echo "=== authbridge ==="
    wine "$build_dir/bin/bridge_demo.exe"
}

# Each step is a function above; they run in this order and the first failure ends the demo.
demo_steps=(demo_authbridge)

for step in "${demo_steps[@]}"; do
    "$step"
    echo
done
