#!/usr/bin/env bash
# Two releases of the last commit, from clones in two different folders, run one after the other
# with another time zone and another umask, must give the same bytes: the programs and their debug
# files, the stand-in DLLs, the three archives and SHA256SUMS.
#   usage: release-reproducible.sh CHECKOUT
set -euo pipefail
KARVETH_RELEASE_SOURCE=${1:?usage: release-reproducible.sh CHECKOUT}
# shellcheck source=tests/shipping/release-support.sh
source "$(dirname "$0")/release-support.sh"

first=$(release_clone one/karveth)
second=$(release_clone a-second-place/somewhat/deeper/karveth-tools)
release_run "$first" TZ=UTC
(umask 0077 && release_run "$second" TZ=Pacific/Kiritimati)

# Every archive of the release is among them: the program, symbols and stand-in archives.
for kind in "" -symbols -standin; do
    compgen -G "$first/dist/karveth-tools-*-win32$kind.zip" >/dev/null ||
        fail "the release has no karveth-tools-<version>-win32$kind.zip"
done
for folder in dist build/release/package build/release/symbols build/release/standin; do
    if ! diff -r "$first/$folder" "$second/$folder"; then
        fail "$folder differs between the two releases"
    fi
done

echo "SHA256SUMS of the two releases, side by side ($first | $second):"
paste -d'|' "$first/dist/SHA256SUMS" "$second/dist/SHA256SUMS"
echo "Compared:"
(cd "$first" && find dist build/release/package build/release/symbols build/release/standin -type f | sort | sed 's/^/  /')
release_finish "the two releases are identical"
