#!/usr/bin/env bash
# Installs what is missing, builds the x86_64 test build and prints the bridge's benchmark figures,
# measured under Wine: request latency, a 100,000-event poll, the bridge's cost at rest, and what a
# parent pays while it waits (the library's wait beside the former peek loop). Then the request
# latency of the shipped i686 bridge, driven by the i686 build of the same benchmark, under 32-bit
# Wine in the 32-bit lane (scripts/lane32-env.sh), in the same run.
# Takes about six minutes, one of which the idle bridge is watched.
#   KARVETH_BENCH_BUILD    the build folder (default: build/win64, the win64 preset's)
#   KARVETH_BENCH_BUILD32  the i686 build folder (default: build/win32-tests, the win32-tests preset's)
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/wine-env.sh
source scripts/lane32-env.sh
lane32_require_root scripts/bench.sh
bash scripts/setup.sh tests

build=${KARVETH_BENCH_BUILD:-build/win64}
cmake --preset win64 -B "$build" >/dev/null
cmake --build "$build"
# The i686 build runs the shipping build's authbridge.exe and steam_api.dll.
build32=${KARVETH_BENCH_BUILD32:-build/win32-tests}
cmake --preset win32 >/dev/null
cmake --build --preset win32
cmake --preset win32-tests -B "$build32" >/dev/null
cmake --build "$build32" --target bench_request_latency

# A wineserver that already runs for this prefix makes karveth_wine_start return non-zero; it is used as it is.
karveth_wine_start || true
trap 'lane32_stop; karveth_wine_stop' EXIT
# The stand-in Steam library would otherwise write a log line for every call being timed.
unset STEAM_STANDIN_LOG

echo
echo "Machine: $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')),"\
     "$(wine --version 2>/dev/null), x86_64 build"
for bench in bench_request_latency bench_poll_reply bench_bridge_resources bench_parent_wait; do
    echo
    wine "$build/bin/$bench.exe"
done

# shellcheck disable=SC2119 # no folders beyond the checkout
lane32_start
echo
echo "32-bit lane: $(lane32_run wine --version 2>/dev/null) under qemu-user, i686 build, the shipped authbridge.exe"
echo
scripts/lane32-wine "$build32/bin/bench_request_latency.exe"
