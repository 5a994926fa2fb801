#!/usr/bin/env bash
# Installs what is missing, builds both presets and runs the tests under Wine.
# Extra arguments go to ctest, e.g. scripts/test.sh -R Bridge, or --preset win64-slow.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
source scripts/wine-env.sh

for preset in win32 win64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done

karveth_wine_start
trap karveth_wine_stop EXIT
preset=win64
if [ "${1:-}" = "--preset" ]; then
    preset=$2
    shift 2
fi
ctest --preset "$preset" "$@"
