#!/usr/bin/env bash
# Installs what is missing, builds the x86_64 test build and prints the bridge's benchmark figures,
# measured under Wine: request latency, a 100,000-event poll, the bridge's cost at rest, and what a
# parent pays while it waits (the library's wait beside the former peek loop).
# Takes about five minutes, one of which the idle bridge is watched.
#   KARVETH_BENCH_BUILD  the build folder (default: build/win64, the win64 preset's)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
source scripts/wine-env.sh

build=${KARVETH_BENCH_BUILD:-build/win64}
cmake --preset win64 -B "$build" >/dev/null
cmake --build "$build"

# A wineserver that already runs for this prefix makes karveth_wine_start return non-zero; it is used as it is.
karveth_wine_start || true
trap karveth_wine_stop EXIT
# The stand-in Steam library would otherwise write a log line for every call being timed.
unset STEAM_STANDIN_LOG

echo
echo "Machine: $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')),"\
     "$(wine --version 2>/dev/null), x86_64 build"
for bench in bench_request_latency bench_poll_reply bench_bridge_resources bench_parent_wait; do
    echo
    wine "$build/bin/$bench.exe"
done
