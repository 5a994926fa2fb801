#!/usr/bin/env bash
# Installs what is missing, builds the presets and runs the tests under Wine, in two lanes: the x86_64
# test build under the host's 64-bit Wine (win64), and the i686 test build against the shipping build's
# programs under 32-bit Wine in the 32-bit lane (win32-tests, see scripts/lane32-env.sh).
# Extra arguments go to ctest in both lanes, e.g. scripts/test.sh -R Bridge; --preset NAME first runs
# that preset alone: win64, win32-tests, or win64-slow for the slow tests.
# Fails when either lane fails, or has no tests (with a filter given: when no lane has a match).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
source scripts/wine-env.sh
source scripts/lane32-env.sh

presets=(win64 win32-tests)
if [ "${1:-}" = "--preset" ]; then
    presets=("$2")
    shift 2
fi
lane32=false
[[ " ${presets[*]} " != *" win32-tests "* ]] || lane32=true

builds=(win32)
[[ " ${presets[*]} " != *" win64"* ]] || builds+=(win64)
! $lane32 || builds+=(win32-tests)
for preset in "${builds[@]}"; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done

karveth_wine_start
trap 'lane32_stop; karveth_wine_stop' EXIT
# shellcheck disable=SC2119 # no folders beyond the checkout
! $lane32 || lane32_start

failed=()
matched=0
for preset in "${presets[@]}"; do
    # Listing the tests runs the lane's programs once too, to find the test cases in them.
    count=$(ctest --preset "$preset" -N "$@" | sed -n 's/^Total Tests: //p')
    if [ "${count:-0}" -eq 0 ]; then
        if [ $# -eq 0 ]; then
            echo "test.sh: the $preset preset found no tests"
            failed+=("$preset")
        else
            echo "test.sh: no test of the $preset preset matches $*"
        fi
        continue
    fi
    matched=$((matched + 1))
    echo
    echo "== $preset: $count tests"
    ctest --preset "$preset" "$@" || failed+=("$preset")
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "test.sh: failed: ${failed[*]}"
    exit 1
fi
if [ "$matched" -eq 0 ]; then
    echo "test.sh: no tests match $*"
    exit 1
fi
