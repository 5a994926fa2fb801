#!/usr/bin/env bash
# Builds the release of the i686 programs from a clean build folder and writes into dist/:
#   karveth-tools-<version>-win32.zip          the programs, stripped, with what ships beside them
#   karveth-tools-<version>-win32-symbols.zip  the debug information split off each program
#   karveth-tools-<version>-win32-standin.zip  the stand-in steam_api.dll for offline tests
#   SHA256SUMS                                 of the three archives
# It removes only what it makes: build/release/, and in dist/ the archives of earlier runs and
# SHA256SUMS; every other file under dist/ (dist/patches/, say) stays. It refuses to run when tracked
# files have uncommitted changes, so that the output depends only on the commit: without a
# certificate, two runs give the same bytes.
# Signing (Authenticode, SHA-256), when both of these name files:
#   KARVETH_SIGN_PKCS12         the code-signing certificate and key, PKCS#12 (.p12/.pfx)
#   KARVETH_SIGN_PASSWORD_FILE  a file holding that file's password
#   KARVETH_SIGN_TIMESTAMP_URL  optional: an RFC 3161 time-stamp server
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build=build/release
dist=dist
target=i686-w64-mingw32
# Options of osslsigncode that this script uses, all present from this version on (Debian 12's).
osslsigncode_minimum=2.5

# A release is made from a commit, so that it can be made again and named by it.
changed=$(git -C "$root" status --porcelain --untracked-files=no)
if [ -n "$changed" ]; then
    echo "release.sh: refused: tracked files have uncommitted changes, which a release of commit" \
         "$(git -C "$root" log -1 --format=%h) would not hold:" >&2
    while IFS= read -r line; do echo "    $line"; done <<<"$changed" >&2
    echo "commit them (or put them aside with git stash) and run it again; nothing was built or removed" >&2
    exit 1
fi
commit=$(git -C "$root" rev-parse HEAD)

# The packed programs are run in the 32-bit lane before the release is done.
# shellcheck source=scripts/lane32-env.sh
source scripts/lane32-env.sh
lane32_require_root scripts/release.sh
bash scripts/setup.sh release

# Every date in the release is the last commit's: the PE time stamp (ld and objcopy read this)
# and the archive entries.
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
export SOURCE_DATE_EPOCH

sign=false
if [ -n "${KARVETH_SIGN_PKCS12:-}${KARVETH_SIGN_PASSWORD_FILE:-}" ]; then
    for file in "${KARVETH_SIGN_PKCS12:-}" "${KARVETH_SIGN_PASSWORD_FILE:-}"; do
        if [ ! -f "$file" ]; then
            echo "release.sh: signing needs both KARVETH_SIGN_PKCS12 and KARVETH_SIGN_PASSWORD_FILE" \
                 "to name files ('$file' is not one)" >&2
            exit 1
        fi
    done
    version_line=$(osslsigncode --version 2>&1 | head -1)
    found=$(sed -n 's/^osslsigncode \([0-9][0-9.]*\).*/\1/p' <<<"$version_line")
    if [ -z "$found" ] || [ "$(printf '%s\n' "$osslsigncode_minimum" "$found" | sort -V | head -1)" != \
         "$osslsigncode_minimum" ]; then
        echo "release.sh: signing needs osslsigncode $osslsigncode_minimum or later, found '$version_line'" >&2
        exit 1
    fi
    sign=true
fi

# What earlier runs made, and nothing else.
rm -rf "$build"
for made in "$dist"/karveth-tools-*-win32.zip "$dist"/karveth-tools-*-win32-symbols.zip \
            "$dist"/karveth-tools-*-win32-standin.zip "$dist/SHA256SUMS"; do
    if [ -f "$made" ]; then
        rm "$made"
        echo "removed $made of an earlier run"
    fi
done
cmake --preset release >/dev/null
cmake --build --preset release --target authbridge Update steam_api steam_api_initfail
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "release.sh: no project version in $build/CMakeCache.txt" >&2; exit 1; }

package=$build/package
symbols=$build/symbols
standin=$build/standin
mkdir -p "$package" "$symbols" "$standin" "$dist"

# Strips a program into the package and keeps its debug information, linked by name and checksum,
# in the symbols folder at the same place, so that unpacking both archives together puts each
# debug file beside its program, where debuggers look.
split_program() {
    local program=$1 folder=$2
    mkdir -p "$package/$folder" "$symbols/$folder"
    "$target-objcopy" --only-keep-debug "$build/bin/$program" "$symbols/$folder/$program.debug"
    "$target-objcopy" --strip-all --add-gnu-debuglink="$symbols/$folder/$program.debug" \
        "$build/bin/$program" "$package/$folder/$program"
}

# A studio signs as a company: the commercial purpose, and the description Windows shows when it
# asks for elevation.
sign_program() {
    local file=$1 description=$2
    local signing=(osslsigncode sign -pkcs12 "$KARVETH_SIGN_PKCS12" -readpass "$KARVETH_SIGN_PASSWORD_FILE"
                   -h sha256 -comm -n "$description")
    if [ -n "${KARVETH_SIGN_TIMESTAMP_URL:-}" ]; then
        signing+=(-ts "$KARVETH_SIGN_TIMESTAMP_URL")
    fi
    "${signing[@]}" -in "$file" -out "$file.signed" >/dev/null
    mv "$file.signed" "$file"
    echo "signed $file"
}

split_program authbridge.exe authbridge
split_program Update.exe Update
cp LICENSE "$symbols/LICENSE.txt"
if $sign; then
    sign_program "$package/authbridge/authbridge.exe" "Karveth Steam authentication bridge for the game server"
    sign_program "$package/Update/Update.exe" "Karveth patch installer"
fi

# The top-level README.txt: a heading with the version, the commit it was made from (which
# make-patch.sh looks for), then the text with the version filled in.
heading="Karveth tools $version"
{ echo "$heading"; echo "${heading//?/=}"; echo; echo "Made from commit $commit."; echo
  sed "s/@VERSION@/$version/g" scripts/release/README.txt; } >"$package/README.txt"
cp scripts/release/authbridge.txt "$package/authbridge/README.txt"
cp scripts/release/Update.txt "$package/Update/README.txt"
cp LICENSE "$package/LICENSE.txt"
bash scripts/release/notices.sh "$target-g++-posix" authbridge.exe Update.exe >"$package/THIRD-PARTY-NOTICES.txt"
# The parent side: its documentation, the example server and, where the checkout has it, its
# library as tracked.
mkdir -p "$package/docs" "$package/examples/server"
cp docs/server-library.md docs/parent-protocol.md "$package/docs/"
cp examples/server/CMakeLists.txt examples/server/Server.c "$package/examples/server/"
if [ -d bridgeparent ]; then
    # Its version header goes in made, since the project that makes it is not in the archive.
    version_template=bridgeparent/include/bridge_parent_version.h.in
    git ls-files -z bridgeparent | while IFS= read -r -d '' file; do
        [ "$file" != "$version_template" ] || continue
        mkdir -p "$package/$(dirname "$file")"
        cp "$file" "$package/$file"
    done
    cp "$build/${version_template%.in}" "$package/${version_template%.in}"
fi

# The stand-in Steam library for testing a server offline, in a folder whose name says it is not
# Steam, with its description and the C header that makes its tickets. It is never signed.
standin_folder=steam-standin-for-testing
mkdir -p "$standin/$standin_folder/init-fails"
"$target-objcopy" --strip-all "$build/bin/steam_api.dll" "$standin/$standin_folder/steam_api.dll"
"$target-objcopy" --strip-all "$build/bin/initfail/steam_api.dll" "$standin/$standin_folder/init-fails/steam_api.dll"
cp steamapi/README.md steamapi/include/standin_ticket.h "$standin/$standin_folder/"
# Its texts lie inside its folder, so that it unpacks into the program archive's folder, as the
# example server wants, without replacing that archive's notices.
cp LICENSE "$standin/$standin_folder/LICENSE.txt"
bash scripts/release/notices.sh "$target-g++-posix" "$standin_folder/steam_api.dll" \
    "$standin_folder/init-fails/steam_api.dll" >"$standin/$standin_folder/THIRD-PARTY-NOTICES.txt"

name=karveth-tools-$version-win32
/usr/bin/python3 scripts/release/pack-zip.py "$package" "$dist/$name.zip" "$SOURCE_DATE_EPOCH"
/usr/bin/python3 scripts/release/pack-zip.py "$symbols" "$dist/$name-symbols.zip" "$SOURCE_DATE_EPOCH"
/usr/bin/python3 scripts/release/pack-zip.py "$standin" "$dist/$name-standin.zip" "$SOURCE_DATE_EPOCH"
(cd "$dist" && sha256sum "$name.zip" "$name-symbols.zip" "$name-standin.zip" >SHA256SUMS)

# What leaves here must pass the checks of the shipped programs, which also run them in the 32-bit
# lane, beside the packed stand-in, driven by a test-side program from an i686 test build of its own.
checks=build/release-checks
cmake --preset win32-tests -B "$checks" -DKARVETH_TEST_SHIPPED_PROGRAMS=OFF >/dev/null
cmake --build "$checks" --target released_programs_run
bash tests/shipping/check-shipped.sh --release "$dist" --run "$checks/bin"

echo
echo "Release $version of commit $commit ($($sign && echo signed || echo unsigned)) in $dist/:"
(cd "$dist" && ls -l karveth-tools-"$version"-win32*.zip SHA256SUMS)
echo
cat "$dist/SHA256SUMS"
