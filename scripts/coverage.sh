#!/usr/bin/env bash
# Line and branch coverage of the product code (authbridge/, update/, bridgeparent/, steamapi/src/)
# by the default tests, in both lanes. Builds the coverage variants: win32-coverage (the shipping i686
# programs with gcov's counters), win64-coverage and win32-tests-coverage (the tests of each lane, the
# latter running win32-coverage's programs in the 32-bit lane); runs the tests of both lanes, without
# the slow ones and without the host scripts that run no program of the build (the release checks,
# which examine release files, as a coverage build is not, and the patch command's own); writes
# build/coverage/index.html (every file, every line marked, every branch) and prints the per-file
# tables and a summary per folder and lane. Extra arguments go to ctest in both lanes, e.g. -R Bridge.
# Fails when a lane's tests fail, after writing the report all the same.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh coverage
source scripts/wine-env.sh
source scripts/lane32-env.sh

builds=(win32-coverage win64-coverage win32-tests-coverage)
for preset in "${builds[@]}"; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done
# Counter files add up across runs: each run starts from none.
for preset in "${builds[@]}"; do
    find "build/$preset" -name '*.gcda' -delete
done

karveth_wine_start
trap 'lane32_stop; karveth_wine_stop' EXIT
# shellcheck disable=SC2119 # no folders beyond the checkout
lane32_start
# The counter files are named by Linux paths without a drive, which Wine takes on the current drive;
# some tests start programs in folders on drive T:. Z: is the Linux root, in both lanes.
export GCOV_PREFIX=Z:

failed=()
for preset in win64-coverage win32-tests-coverage; do
    echo
    echo "== $preset"
    ctest --preset "$preset" "$@" || failed+=("$preset")
done

report=build/coverage
rm -rf "$report"
mkdir -p "$report"
# An object whose code never ran in a process that wrote its counters (the copies of the programs
# that a lane builds but does not run, the init-fail stand-in that only killed bridges load) has
# notes but no counts. gcovr would read it as a run that took no branch, exceptional edges included,
# so such notes are set aside while it reads; a product file that no object ran is named below.
mapfile -t unused < <(for preset in "${builds[@]}"; do
    find "build/$preset" -name '*.gcno' | while read -r notes; do
        [ -e "${notes%.gcno}.gcda" ] || echo "$notes"
    done
done)
restore_unused() {
    for notes in "${unused[@]}"; do
        [ ! -e "$notes.unused" ] || mv "$notes.unused" "$notes"
    done
}
trap 'restore_unused; lane32_stop; karveth_wine_stop' EXIT
for notes in "${unused[@]}"; do
    mv "$notes" "$notes.unused"
done
root=$PWD
gcovr_options=(--root "$root"
               --filter "$root/authbridge/" --filter "$root/update/" --filter "$root/bridgeparent/"
               --filter "$root/steamapi/src/"
               # Branches the compiler adds for exceptions that nothing here throws, and branches of
               # lines that have no branch in the source (a loop's hidden exits and the like).
               --exclude-throw-branches --exclude-unreachable-branches)
gcovr "${gcovr_options[@]}" --gcov-executable x86_64-w64-mingw32-gcov \
    --json "$report/win64.json" --json-summary "$report/win64-summary.json" build/win64-coverage
gcovr "${gcovr_options[@]}" --gcov-executable i686-w64-mingw32-gcov \
    --json "$report/win32.json" --json-summary "$report/win32-summary.json" \
    build/win32-coverage build/win32-tests-coverage
gcovr "${gcovr_options[@]}" --add-tracefile "$report/win64.json" --add-tracefile "$report/win32.json" \
    --html-details "$report/index.html" --html-title "Karveth: coverage of the product code, both lanes" \
    --json-summary "$report/summary.json" --txt "$report/lines.txt"
gcovr "${gcovr_options[@]}" --add-tracefile "$report/win64.json" --add-tracefile "$report/win32.json" \
    --branches --txt "$report/branches.txt"

cat "$report/lines.txt" "$report/branches.txt"
git ls-files 'authbridge/*.cpp' 'update/*.cpp' 'bridgeparent/src/*.cpp' 'steamapi/src/*.cpp' >"$report/sources.txt"
python3 - "$report" <<'EOF'
import json
import sys

report = sys.argv[1]
with open(f"{report}/summary.json") as summary:
    reported = {f["filename"] for f in json.load(summary)["files"]}
with open(f"{report}/sources.txt") as sources:
    for source in sources.read().split():
        if source not in reported:
            print(f"coverage.sh: {source} was never run (0%)")
folders = ["authbridge/", "update/", "bridgeparent/", "steamapi/src/"]
lanes = [("both lanes", "summary.json"), ("x86_64", "win64-summary.json"), ("32-bit lane", "win32-summary.json")]


def cell(covered, total):
    return f"{covered}/{total} ({100.0 * covered / total:.1f}%)" if total else "-"


print()
print(f"{'folder':<15}{'lane':<13}{'lines':>22}{'branches':>22}")
for folder in folders + ["all"]:
    for lane, name in lanes:
        with open(f"{report}/{name}") as summary:
            files = json.load(summary)["files"]
        chosen = [f for f in files if folder == "all" or f["filename"].startswith(folder)]
        lines = cell(sum(f["line_covered"] for f in chosen), sum(f["line_total"] for f in chosen))
        branches = cell(sum(f["branch_covered"] for f in chosen), sum(f["branch_total"] for f in chosen))
        print(f"{folder:<15}{lane:<13}{lines:>22}{branches:>22}")
EOF
echo
echo "coverage.sh: report in $report/index.html"

if [ ${#failed[@]} -gt 0 ]; then
    echo "coverage.sh: tests failed: ${failed[*]}"
    exit 1
fi
