#!/usr/bin/env bash
# The project's demo: installs what it is missing, builds the demo programs of the win64 preset (and
# the programs they run) and runs each demo step under Wine. KARVETH_BUILD_DIR names another build
# folder to configure and build (default build/win64).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${KARVETH_BUILD_DIR:-build/win64}

bash scripts/setup.sh demo
source scripts/wine-env.sh
cmake --preset win64 -B "$build_dir" >/dev/null
# Only what the steps run: the demos, the bridge, the stand-in and Update (the demos depend on them).
cmake --build "$build_dir" --target bridge_demo update_demo

karveth_wine_start
trap karveth_wine_stop EXIT

# authbridge: a parent authenticates sample tickets with the stand-in Steam library and polls
# for the notices that follow.
demo_authbridge() {
    echo "=== authbridge ==="
    wine "$build_dir/bin/bridge_demo.exe"
}

# Update: the real installer on the virtual display against a sample game folder and Patch folder,
# its windows answered automatically and each one saved as a PNG screenshot.
demo_update() {
    echo "=== Update ==="
    KARVETH_BUILD_DIR=$build_dir KARVETH_KEEP_WINE=1 bash scripts/demo-update.sh
}

# Each step is a function above; they run in this order and the first failure ends the demo.
demo_steps=(demo_authbridge demo_update)

for step in "${demo_steps[@]}"; do
    "$step"
    echo
done
