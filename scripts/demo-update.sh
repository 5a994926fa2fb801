#!/usr/bin/env bash
# The Update demo: runs the real Update.exe under Wine on a virtual display against a sample game
# folder and a sample Patch folder, answers its windows automatically, saves a PNG screenshot of each
# window it met and prints what happened.
#   KARVETH_BUILD_DIR   an existing win64 build to use (default: build the win64 preset into build/win64)
#   KARVETH_UPDATE_SHOTS  where the screenshots go (default: <build dir>/update-demo)
#   KARVETH_KEEP_WINE=1   leave Wine and the display running at the end (for a caller that started them)
# Wine's prefix, display and drive T: are those of scripts/wine-env.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -n "${KARVETH_BUILD_DIR:-}" ]; then
    build=$KARVETH_BUILD_DIR
else
    build=build/win64
    cmake --preset win64 >/dev/null
    cmake --build --preset win64 --target update_demo Update
fi
build=$(cd "$build" && pwd)
shots=${KARVETH_UPDATE_SHOTS:-$build/update-demo}
rm -rf "$shots"
mkdir -p "$shots"

source scripts/wine-env.sh
karveth_wine_start
if [ "${KARVETH_KEEP_WINE:-}" != 1 ]; then
    trap karveth_wine_stop EXIT
fi

echo "== Update demo (display $DISPLAY, Wine prefix $WINEPREFIX)"
status=0
wine "$build/bin/update_demo.exe" "$shots" || status=$?
echo
echo "Screenshots of every window met, in $shots:"
(cd "$shots" && find . -name '*.png' | sort | sed 's|^\./|  |')
exit $status
