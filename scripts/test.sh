#!/usr/bin/env bash
# Installs what is missing, builds the presets and runs the tests under Wine, in two lanes side by
# side: the x86_64 test build under the host's 64-bit Wine (win64), and the i686 test build against
# the shipping build's programs under 32-bit Wine in the 32-bit lane (win32-tests, see
# scripts/lane32-env.sh). Each lane has a virtual display, a Wine prefix and a wineserver of its own;
# its whole output goes to build/test-<preset>.log and its summary to the console.
# Extra arguments go to ctest in both lanes, e.g. scripts/test.sh -R Bridge; --preset NAME first runs
# that preset alone: win64, win32-tests, or win64-slow for the slow tests.
# Fails when either lane fails, or has no tests (with a filter given: when no lane has a match).
set -euo pipefail
cd "$(dirname "$0")/.."

presets=(win64 win32-tests)
if [ "${1:-}" = "--preset" ]; then
    presets=("$2")
    shift 2
fi
lane32=false
[[ " ${presets[*]} " != *" win32-tests "* ]] || lane32=true

source scripts/wine-env.sh
source scripts/lane32-env.sh
! $lane32 || lane32_require_root scripts/test.sh "bash scripts/test.sh --preset win64"

# Every lane started is stopped however the script ends; each stop runs even when another fails.
# Lanes run as jobs of their own process group, so that the whole of a lane can be ended at once.
set -m
lane_jobs=()
stop_everything() {
    local status=$? job
    set +e
    trap - EXIT INT TERM
    for job in "${lane_jobs[@]}"; do
        kill -0 "$job" 2>/dev/null && kill -TERM -- "-$job" 2>/dev/null
        wait "$job" 2>/dev/null
    done
    if $lane32; then
        lane32_stop
    fi
    karveth_wine_stop
    exit "$status"
}
trap stop_everything EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if $lane32; then
    bash scripts/setup.sh tests
else
    bash scripts/setup.sh win64
fi

# Runs one lane's tests, its whole output in build/test-<preset>.log; prints the lane's summary.
# Exits with 0 when the lane passed, 1 when it failed, 3 when no test matches the filter given.
run_lane() {
    local preset=$1 log=build/test-$1.log count status=0
    shift
    mkdir -p build
    : >"$log"
    # Listing the tests runs the lane's programs once too, to find the test cases in them.
    if ! count=$(ctest --preset "$preset" -N "$@" 2>>"$log" | sed -n 's/^Total Tests: //p'); then
        echo "[$preset] listing the tests failed (see $log)"
        return 1
    fi
    if [ "${count:-0}" -eq 0 ]; then
        if [ $# -eq 0 ]; then
            echo "[$preset] the preset found no tests"
            return 1
        fi
        echo "[$preset] no test matches $*"
        return 3
    fi
    echo "[$preset] $count tests started, full log: $log"
    ctest --preset "$preset" "$@" >>"$log" 2>&1 </dev/null || status=$?
    # CTest's closing lines: the count, the tests that failed or did not run, and the time taken.
    sed -n '/tests passed, /,$p' "$log" | sed "s/^/[$preset] /"
    [ "$status" -eq 0 ] || echo "[$preset] failed (ctest exit code $status)"
    return $((status == 0 ? 0 : 1))
}

# Each lane runs as a background job on a display of its own, started here so that this shell stops
# it. Wine's prefix and wineserver start inside the job: a new prefix takes a minute.
lane_presets=()
start_lane() {
    local preset=$1
    shift
    unset KARVETH_DISPLAY
    karveth_display_start
    if [ "$preset" = win32-tests ]; then
        # The lane's lock is this shell's, so that the stop at the end always holds it.
        lane32_lock
        # shellcheck disable=SC2119 # no folders beyond the checkout
        (lane32_start && run_lane "$preset" "$@") &
    else
        (karveth_wine_start && run_lane "$preset" "$@") &
    fi
    lane_jobs+=($!)
    lane_presets+=("$preset")
}

# The shipping build comes first: the other two read its files. Each lane starts as soon as its build
# is done, so the second build runs beside the first lane's tests.
cmake --preset win32 >/dev/null
cmake --build --preset win32
for preset in "${presets[@]}"; do
    build=$preset
    [ "$preset" != win64-slow ] || build=win64
    cmake --preset "$build" >/dev/null
    cmake --build --preset "$build"
    start_lane "$preset" "$@"
done

failed=()
matched=0
for i in "${!lane_jobs[@]}"; do
    status=0
    wait "${lane_jobs[$i]}" || status=$?
    case $status in
        0) matched=$((matched + 1)) ;;
        3) ;;
        *) matched=$((matched + 1)) failed+=("${lane_presets[$i]}") ;;
    esac
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "test.sh: failed: ${failed[*]}"
    exit 1
fi
if [ "$matched" -eq 0 ]; then
    echo "test.sh: no tests match $*"
    exit 1
fi
echo "test.sh: every lane passed: ${lane_presets[*]}"
