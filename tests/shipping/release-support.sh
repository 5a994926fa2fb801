# shellcheck shell=bash
# Sourced by the release tests: clones of the checkout's last commit, a release run in one, and the
# unpacking of its archives.
#   KARVETH_RELEASE_SOURCE  the checkout to clone (set by the caller)

# The release command runs the programs it packs in the 32-bit lane, which needs root; CTest counts
# this exit code as a skip.
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: the release command needs root for its 32-bit lane"
    exit 77
fi

release_work=$(mktemp -d)
trap 'rm -rf "$release_work"' EXIT

# A clone takes committed state only: say so rather than test something else than the checkout.
if [ -n "$(git -C "$KARVETH_RELEASE_SOURCE" status --porcelain --untracked-files=no)" ]; then
    echo "note: uncommitted changes in $KARVETH_RELEASE_SOURCE are not in the clones; this tests the last commit"
fi

# Failures are counted, so that one run reports every check that failed; release_finish ends the
# test with them.
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Ends the test: fails when any check did, otherwise prints the given line.
release_finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures failed"
        exit 1
    fi
    echo "$*"
}

# Clones the checkout into the given folder (made here, under the test's own temp folder).
release_clone() {
    local clone=$release_work/$1
    mkdir -p "$(dirname "$clone")"
    git clone --quiet "$KARVETH_RELEASE_SOURCE" "$clone"
    echo "$clone"
}

# Runs the release command in a clone, its output kept in the clone's release.log; prints the log
# when the command fails and returns its status.
release_run() {
    local clone=$1 status=0
    shift
    # The clones share one prefix of the 32-bit lane, made once (these tests never run side by side).
    (cd "$clone" && env KARVETH_WINEPREFIX32="$KARVETH_RELEASE_SOURCE/build/wineprefix32-release" "$@" \
        bash scripts/release.sh) >"$clone/release.log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        echo "--- release.sh in $clone failed ($status):"
        tail -20 "$clone/release.log"
    fi
    return "$status"
}

# Unpacks the program archive of a clone's dist/ into the given folder.
release_unpack() {
    local clone=$1 folder=$2
    /usr/bin/python3 -m zipfile -e "$(ls "$clone"/dist/karveth-tools-*-win32.zip)" "$folder"
}
