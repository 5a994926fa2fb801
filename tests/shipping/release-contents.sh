#!/usr/bin/env bash
# What the release packs, entry by entry, and that the release checks catch a release that must
# not ship: a program with its debug information, our stand-in steam_api.dll loose or packed,
# symbols of another build, archives that do not match SHA256SUMS.
#   usage: release-contents.sh CHECKOUT
set -euo pipefail
KARVETH_RELEASE_SOURCE=${1:?usage: release-contents.sh CHECKOUT}
# shellcheck source=tests/shipping/release-support.sh
source "$(dirname "$0")/release-support.sh"
here=$(cd "$(dirname "$0")" && pwd)

archive_names() {
    /usr/bin/python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$1"
}

# The parent-side library is packed as tracked: a tracked file is in, an untracked one is not.
clone=$(release_clone contents/karveth)
mkdir -p "$clone/bridgeparent/include" "$clone/bridgeparent/src"
echo "// tracked" >"$clone/bridgeparent/include/ReleaseProbe.h"
git -C "$clone" add bridgeparent/include/ReleaseProbe.h
git -C "$clone" -c user.name=test -c user.email=test@localhost commit --quiet -m "probe"
echo "left over" >"$clone/bridgeparent/src/untracked.txt"
release_run "$clone"

dist=$clone/dist
program_archive=$(ls "$dist"/karveth-tools-*-win32.zip)
symbols_archive=$(ls "$dist"/karveth-tools-*-win32-symbols.zip)
expected=$( (printf '%s\n' THIRD-PARTY-NOTICES.txt authbridge/README.txt authbridge/authbridge.exe \
                 Update/README.txt Update/Update.exe docs/parent-protocol.md
             git -C "$clone" ls-files bridgeparent) | sort)
[ "$(archive_names "$program_archive" | sort)" = "$expected" ] ||
    fail "$(basename "$program_archive") holds:"$'\n'"$(archive_names "$program_archive")"$'\n'"expected:"$'\n'"$expected"
grep -qx bridgeparent/include/ReleaseProbe.h <<<"$expected" || fail "the tracked library file is not expected"
expected_symbols=$'Update/Update.exe.debug\nauthbridge/authbridge.exe.debug'
[ "$(archive_names "$symbols_archive" | sort)" = "$expected_symbols" ] ||
    fail "$(basename "$symbols_archive") holds: $(archive_names "$symbols_archive" | tr '\n' ' ')"
echo "$(basename "$program_archive"):"
archive_names "$program_archive" | sed 's/^/  /'

# The texts beside the programs, and the notices with the licences they name.
unpacked=$release_work/unpacked
release_unpack "$clone" "$unpacked"
text_checks=(
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
for check in "${text_checks[@]}"; do
    grep -qF -- "${check#*|}" "$unpacked/${check%%|*}" || fail "${check%%|*} does not say '${check#*|}'"
done

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
faults=(
    "spoil_unstripped|authbridge.exe carries debug sections"
    "spoil_unstripped|authbridge.exe carries a symbol table"
    "spoil_loose_dll|holds $release_work"
    "spoil_packed_dll|packs authbridge/steam_api.dll"
    "spoil_other_symbols|is not the one split off this program"
    "spoil_missing_symbols|the symbols archive has no Update.exe.debug"
    "spoil_sums|SHA256SUMS does not match"
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
    if [ "$spoil" != spoil_sums ]; then
        (cd "$copy" && sha256sum karveth-tools-*.zip >SHA256SUMS)
    fi
    if output=$(bash "$here/check-shipped.sh" --release "$copy"); then
        fail "$spoil: the checks passed"
    elif ! grep -qF -- "$message" <<<"$output"; then
        fail "$spoil: the checks did not say '$message':"$'\n'"$output"
    else
        echo "$spoil: refused ($(grep -m1 -F -- "$message" <<<"$output"))"
    fi
done

release_finish "release contents and checks: all passed"
