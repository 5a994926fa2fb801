#!/usr/bin/env bash
# What the release packs, entry by entry, what its texts say, that its texts name only what the
# archives hold and show only code of the example server, that it refuses a tree with uncommitted
# changes and removes nothing under dist/ but what it made, and that the release checks catch a
# release that must not ship: a program
# with its debug information, our stand-in steam_api.dll loose, packed beside the programs or
# outside its marked folder, a stand-in that does not say what it is, symbols of another build, a
# missing archive, archives that SHA256SUMS does not cover or match.
#   usage: release-contents.sh CHECKOUT
set -euo pipefail
KARVETH_RELEASE_SOURCE=${1:?usage: release-contents.sh CHECKOUT}
# shellcheck source=tests/shipping/release-support.sh
source "$(dirname "$0")/release-support.sh"
here=$(cd "$(dirname "$0")" && pwd)

archive_names() {
    /usr/bin/python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$1"
}

# The parent-side library is packed as tracked: a tracked file is in, an untracked one is not; its
# version header goes in made from its template.
clone=$(release_clone contents/karveth)
mkdir -p "$clone/bridgeparent/include" "$clone/bridgeparent/src"
echo "// tracked" >"$clone/bridgeparent/include/ReleaseProbe.h"
git -C "$clone" add bridgeparent/include/ReleaseProbe.h
git -C "$clone" -c user.name=test -c user.email=test@localhost commit --quiet -m "probe"
echo "left over" >"$clone/bridgeparent/src/untracked.txt"

# What lies in dist/ already: patches and notes of the studio's, which must stay as they are, and
# the archives and sums of an earlier release, which the command replaces.
dist=$clone/dist
mkdir -p "$dist/patches"
echo "a patch" >"$dist/patches/karveth-patch-1.0-to-1.1.zip"
echo "0000  karveth-patch-1.0-to-1.1.zip" >"$dist/patches/SHA256SUMS"
echo "release notes" >"$dist/notes.txt"
earlier=(karveth-tools-0.9.0-win32.zip karveth-tools-0.9.0-win32-symbols.zip karveth-tools-0.9.0-win32-standin.zip)
for name in "${earlier[@]}"; do
    echo "earlier" >"$dist/$name"
done
echo "0000  karveth-tools-0.9.0-win32.zip" >"$dist/SHA256SUMS"
kept=$(cd "$dist" && sha256sum patches/karveth-patch-1.0-to-1.1.zip patches/SHA256SUMS notes.txt)

# A tracked file changed: refused before anything is built or removed, the change named.
echo "changed" >>"$clone/README.md"
if (cd "$clone" && bash scripts/release.sh) >"$release_work/dirty.log" 2>&1; then
    fail "release.sh ran with a tracked file changed"
fi
for message in "release.sh: refused: tracked files have uncommitted changes" " M README.md" \
               "nothing was built or removed"; do
    grep -qF -- "$message" "$release_work/dirty.log" || fail "the refusal does not say '$message'"
done
[ "$failures" -eq 0 ] || { echo "--- release.sh with README.md changed:"; tail -20 "$release_work/dirty.log"; }
[ ! -e "$clone/build/release" ] || fail "the refused release made build/release"
[ -f "$dist/${earlier[0]}" ] || fail "the refused release removed ${earlier[0]}"
git -C "$clone" checkout --quiet README.md

release_run "$clone"
[ "$(cd "$dist" && sha256sum patches/karveth-patch-1.0-to-1.1.zip patches/SHA256SUMS notes.txt)" = "$kept" ] ||
    fail "the release changed or removed files under dist/ that it did not make"
for name in "${earlier[@]}"; do
    [ ! -e "$dist/$name" ] || fail "the earlier release's $name is still in dist/"
    grep -qF "removed dist/$name of an earlier run" "$clone/release.log" || fail "the release does not say it removed $name"
done
! grep -q "karveth-tools-0.9.0" "$dist/SHA256SUMS" || fail "SHA256SUMS still lists the earlier release"

program_archive=$(ls "$dist"/karveth-tools-*-win32.zip)
symbols_archive=$(ls "$dist"/karveth-tools-*-win32-symbols.zip)
standin_archive=$(ls "$dist"/karveth-tools-*-win32-standin.zip)
version=$(basename "$program_archive" | sed 's/^karveth-tools-\(.*\)-win32\.zip$/\1/')
version_template=bridgeparent/include/bridge_parent_version.h.in
expected=$( (printf '%s\n' README.txt LICENSE.txt THIRD-PARTY-NOTICES.txt authbridge/README.txt \
                 authbridge/authbridge.exe Update/README.txt Update/Update.exe docs/parent-protocol.md \
                 docs/server-library.md examples/server/CMakeLists.txt examples/server/Server.c \
                 "${version_template%.in}"
             git -C "$clone" ls-files bridgeparent | grep -vx "$version_template") | sort)
[ "$(archive_names "$program_archive" | sort)" = "$expected" ] ||
    fail "$(basename "$program_archive") holds:"$'\n'"$(archive_names "$program_archive")"$'\n'"expected:"$'\n'"$expected"
grep -qx bridgeparent/include/ReleaseProbe.h <<<"$expected" || fail "the tracked library file is not expected"
expected_symbols=$'LICENSE.txt\nUpdate/Update.exe.debug\nauthbridge/authbridge.exe.debug'
[ "$(archive_names "$symbols_archive" | sort)" = "$expected_symbols" ] ||
    fail "$(basename "$symbols_archive") holds: $(archive_names "$symbols_archive" | tr '\n' ' ')"
expected_standin=$(printf '%s\n' steam-standin-for-testing/LICENSE.txt \
    steam-standin-for-testing/THIRD-PARTY-NOTICES.txt steam-standin-for-testing/README.md \
    steam-standin-for-testing/init-fails/steam_api.dll steam-standin-for-testing/standin_ticket.h \
    steam-standin-for-testing/steam_api.dll | sort)
[ "$(archive_names "$standin_archive" | sort)" = "$expected_standin" ] ||
    fail "$(basename "$standin_archive") holds: $(archive_names "$standin_archive" | tr '\n' ' ')"
for archive in "$program_archive" "$standin_archive"; do
    echo "$(basename "$archive"):"
    archive_names "$archive" | sed 's/^/  /'
done

# The texts beside the programs and the stand-in, and the notices with the licences they name.
unpacked=$release_work/unpacked
release_unpack "$clone" "$unpacked"
standin_unpacked=$release_work/standin
/usr/bin/python3 -m zipfile -e "$standin_archive" "$standin_unpacked"
text_checks=(
    "README.txt|Karveth tools $version"
    "README.txt|Made from commit $(git -C "$clone" rev-parse HEAD)."
    "README.txt|docs\\server-library.md"
    "README.txt|LICENSE.txt"
    "README.txt|bridgeparent\\"
    "README.txt|docs\\parent-protocol.md"
    "README.txt|Where to start"
    "README.txt|karveth-tools-$version-win32-standin.zip"
    "bridgeparent/include/bridge_parent_version.h|#define KVBRIDGE_VERSION_STRING \"$version\""
    "authbridge/README.txt|32-bit"
    "authbridge/README.txt|steam_api.dll"
    "authbridge/README.txt|never reach a server"
    "Update/README.txt|Patch\\"
    "Update/README.txt|EULA.rtf"
    "THIRD-PARTY-NOTICES.txt|GNU C++ library (libstdc++): Debian package g++-mingw-w64-i686-posix"
    "THIRD-PARTY-NOTICES.txt|GCC runtime library (libgcc): Debian package gcc-mingw-w64-i686-posix"
    "THIRD-PARTY-NOTICES.txt|winpthreads (POSIX threads for Windows): Debian package mingw-w64-i686-dev"
    "THIRD-PARTY-NOTICES.txt|MinGW-w64 runtime"
    "THIRD-PARTY-NOTICES.txt|GCC RUNTIME LIBRARY EXCEPTION"
    "THIRD-PARTY-NOTICES.txt|Files: mingw-w64-libraries/winpthreads/"
)
standin_text_checks=(
    "steam-standin-for-testing/README.md|for testing only"
    "steam-standin-for-testing/README.md|## Ticket format"
    "steam-standin-for-testing/README.md|STEAM_STANDIN_LOG"
    "steam-standin-for-testing/README.md|STEAM_STANDIN_PORT_OBJECT"
    "steam-standin-for-testing/README.md|init-fails/steam_api.dll"
    "steam-standin-for-testing/standin_ticket.h|KvStandInEncodeTicket"
    "steam-standin-for-testing/THIRD-PARTY-NOTICES.txt|GNU C++ library (libstdc++): Debian package g++-mingw-w64-i686-posix"
    "steam-standin-for-testing/THIRD-PARTY-NOTICES.txt|GCC RUNTIME LIBRARY EXCEPTION"
)
# Checks "FILE|TEXT" entries against an unpacked archive.
check_texts() {
    local folder=$1 check
    shift
    for check in "$@"; do
        grep -qF -- "${check#*|}" "$folder/${check%%|*}" || fail "${check%%|*} does not say '${check#*|}'"
    done
}
check_texts "$unpacked" "${text_checks[@]}"
check_texts "$standin_unpacked" "${standin_text_checks[@]}"

# The project's licence beside the notices in every archive, as the checkout has it.
symbols_unpacked=$release_work/symbols
/usr/bin/python3 -m zipfile -e "$symbols_archive" "$symbols_unpacked"
for license in "$unpacked/LICENSE.txt" "$symbols_unpacked/LICENSE.txt" \
               "$standin_unpacked/steam-standin-for-testing/LICENSE.txt"; do
    cmp -s "$clone/LICENSE" "$license" || fail "${license#"$release_work"/} is not the project's LICENSE"
done
grep -qF "Copyright (c) 2026 the Karveth tools authors" "$clone/LICENSE" || fail "LICENSE names no copyright holder"

# The texts, read with both archives unpacked into one folder as a server programmer unpacks them,
# name only what the archives hold and show only the example server's code.
kit=$release_work/kit
release_unpack "$clone" "$kit"
/usr/bin/python3 -m zipfile -e "$standin_archive" "$kit"
/usr/bin/python3 "$here/check-shipped-texts.py" "$kit" || fail "the shipped texts name what the release lacks (above)"

# Each case below spoils a copy of the good release in one way; the checks must refuse it and say why.
# Rewrites an archive: NAME=FILE adds or replaces an entry, NAME= drops one.
repack() {
    /usr/bin/python3 - "$@" <<'PYTHON'
import sys, zipfile
archive, changes = sys.argv[1], dict(change.split("=", 1) for change in sys.argv[2:])
with zipfile.ZipFile(archive) as source:
    entries = {name: source.read(name) for name in source.namelist()}
for name, path in changes.items():
    if path:
        entries[name] = open(path, "rb").read()
    else:
        entries.pop(name, None)
with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as target:
    for name in sorted(entries):
        target.writestr(name, entries[name])
PYTHON
}
bin=$clone/build/release/bin
symbols=$clone/build/release/symbols
spoil_unstripped() { repack "$1/$(basename "$program_archive")" "authbridge/authbridge.exe=$bin/authbridge.exe"; }
spoil_loose_dll() { cp "$bin/steam_api.dll" "$1/"; }
spoil_packed_dll() { repack "$1/$(basename "$program_archive")" "authbridge/steam_api.dll=$bin/steam_api.dll"; }
spoil_other_symbols() {
    repack "$1/$(basename "$symbols_archive")" "authbridge/authbridge.exe.debug=$symbols/Update/Update.exe.debug"
}
spoil_missing_symbols() { repack "$1/$(basename "$symbols_archive")" "Update/Update.exe.debug="; }
spoil_sums() { printf 'x' >>"$1/$(basename "$symbols_archive")"; }
spoil_sums_partial() { sed -i '/-standin\.zip$/d' "$1/SHA256SUMS"; }
spoil_missing_standin() { rm "$1/$(basename "$standin_archive")"; }
spoil_standin_outside() { repack "$1/$(basename "$standin_archive")" "steam_api.dll=$bin/steam_api.dll"; }
# A stand-in whose version resource no longer says so: its description's first word replaced.
spoil_standin_unmarked() {
    local dll=$release_work/unmarked.dll
    /usr/bin/python3 - "$bin/steam_api.dll" "$dll" <<'PYTHON'
import sys
data = open(sys.argv[1], "rb").read()
marked = "Stand-in for Steam".encode("utf-16-le")
assert marked in data
open(sys.argv[2], "wb").write(data.replace(marked, "Provided by Steam".ljust(18).encode("utf-16-le")))
PYTHON
    repack "$1/$(basename "$standin_archive")" "steam-standin-for-testing/steam_api.dll=$dll"
}
faults=(
    "spoil_unstripped|authbridge.exe carries debug sections"
    "spoil_unstripped|authbridge.exe carries a symbol table"
    "spoil_loose_dll|holds $release_work"
    "spoil_packed_dll|packs authbridge/steam_api.dll"
    "spoil_other_symbols|is not the one split off this program"
    "spoil_missing_symbols|the symbols archive has no Update.exe.debug"
    "spoil_sums|SHA256SUMS does not match"
    "spoil_sums_partial|SHA256SUMS does not cover $(basename "$standin_archive")"
    "spoil_missing_standin|one program archive, one symbols archive and one stand-in archive"
    "spoil_standin_outside|packs steam_api.dll outside steam-standin-for-testing/"
    "spoil_standin_unmarked|its version resource does not say that it is a stand-in for testing"
)
for fault in "${faults[@]}"; do
    spoil=${fault%%|*}
    message=${fault#*|}
    copy=$release_work/faults/$spoil
    rm -rf "$copy"
    mkdir -p "$(dirname "$copy")"
    cp -r "$dist" "$copy"
    "$spoil" "$copy"
    # One fault at a time: the sums are brought up to date unless they are the fault.
    case $spoil in
        spoil_sums*) ;;
        *) (cd "$copy" && sha256sum karveth-tools-*.zip >SHA256SUMS) ;;
    esac
    if output=$(bash "$here/check-shipped.sh" --release "$copy"); then
        fail "$spoil: the checks passed"
    elif ! grep -qF -- "$message" <<<"$output"; then
        fail "$spoil: the checks did not say '$message':"$'\n'"$output"
    else
        echo "$spoil: refused ($(grep -m1 -F -- "$message" <<<"$output"))"
    fi
done

release_finish "release contents and checks: all passed"
