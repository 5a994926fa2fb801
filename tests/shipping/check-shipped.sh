#!/usr/bin/env bash
# Inspects the shipping (i686) programs: both are 32-bit PE executables of the right subsystem,
# and need nothing beyond Windows' own DLLs (and steam_api.dll for the bridge). The stand-in
# steam_api.dll files are 32-bit DLLs with Steam's exports whose version resource says that they
# are stand-ins for testing.
#   check-shipped.sh BIN_FOLDER              the win32 preset's build, both programs in one folder
#   check-shipped.sh --release DIST_FOLDER   a release: its archives are unpacked and checked; the
#       programs must also carry no debug sections and no symbol table, only a link to their
#       debug files, and no steam_api.dll may be anywhere in the release but in the stand-in
#       archive's steam-standin-for-testing/ folder
set -u
usage="usage: check-shipped.sh BIN_FOLDER | --release DIST_FOLDER"
objdump=i686-w64-mingw32-objdump
failures=0
release=false
if [ "${1:-}" = "--release" ]; then
    release=true
    dist=${2:?$usage}
else
    bin=${1:?$usage}
    origin="$bin (build the win32 preset first)"
fi

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# DLLs that every Windows installation has; anything else would have to ship beside the program.
windows_dlls="kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll ole32.dll comctl32.dll comdlg32.dll
              msvcrt.dll shlwapi.dll oleaut32.dll"

# Fails for every DLL that the file's headers (objdump -p) import beyond Windows' own and the extra one.
check_imports() {
    local file=$1 headers=$2 extra_dll=$3 dll
    for dll in $(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr '[:upper:]' '[:lower:]'); do
        case " ${windows_dlls//$'\n'/ } $extra_dll " in
            *" $dll "*) ;;
            *) fail "$file imports $dll, which is not one of Windows' own DLLs" ;;
        esac
    done
}

check_program() {
    local file=$1 subsystem=$2 extra_dll=$3
    local path="$bin/$file"
    if [ ! -f "$path" ]; then
        fail "$file is missing from $origin"
        return
    fi
    local headers
    headers=$($objdump -p "$path")
    grep -q "file format pei-i386" <<<"$headers" || fail "$file is not a 32-bit (i386) PE file"
    grep -q "^Magic.*(PE32)" <<<"$headers" || fail "$file is not PE32"
    grep -q "^Subsystem.*($subsystem)" <<<"$headers" || fail "$file is not a $subsystem program"
    check_imports "$file" "$headers" "$extra_dll"
    echo "checked $file: $(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr '\n' ' ')"
}

# The Steam functions the stand-in exports: what the bridge imports and the removal of a callback.
standin_exports="SteamAPI_RegisterCallback SteamAPI_UnregisterCallback SteamGameServer SteamGameServer_Init
                 SteamGameServer_RunCallbacks SteamGameServer_Shutdown"
# A stand-in steam_api.dll: a 32-bit DLL with Steam's exports that needs only Windows' own DLLs, and
# whose version resource tells whoever finds it that it is no Steam library.
check_standin() {
    local file=$1 path="$standin_bin/$1" headers exported name resource
    if [ ! -f "$path" ]; then
        fail "$file is missing from $standin_origin"
        return
    fi
    headers=$($objdump -p "$path")
    grep -q "file format pei-i386" <<<"$headers" || fail "$file is not a 32-bit (i386) PE file"
    grep -qx $'\tDLL' <<<"$headers" || fail "$file is not a DLL"
    check_imports "$file" "$headers" ""
    exported=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" | awk 'NF >= 3 { print $3 }')
    for name in $standin_exports; do
        grep -qx "$name" <<<"$exported" || fail "$file does not export $name"
    done
    resource=$(i686-w64-mingw32-windres -i "$path" -O rc 2>/dev/null)
    grep -q '^ FILETYPE 0x2$' <<<"$resource" || fail "$file has no version resource of a DLL"
    if ! grep -q '^ *VALUE "FileDescription", "Stand-in for Steam'"'"'s steam_api.dll.*for testing only' <<<"$resource"; then
        fail "$file: its version resource does not say that it is a stand-in for testing"
    fi
    echo "checked $file: $(sed -n 's/^ *VALUE "FileDescription", //p' <<<"$resource")"
}

# Prints what is wrong with the program's link to its debug file: the name it holds and the
# checksum of the file it was split into.
check_debug_link() {
    local program=$1 debug=$2 section
    section=$(mktemp)
    i686-w64-mingw32-objcopy --dump-section .gnu_debuglink="$section" "$program" "$section.exe"
    /usr/bin/python3 - "$section" "$debug" <<'PYTHON'
import os, struct, sys, zlib
link = open(sys.argv[1], "rb").read()
name = link.split(b"\0")[0].decode()
crc = struct.unpack("<I", link[-4:])[0]
debug = sys.argv[2]
if name != os.path.basename(debug):
    print("links to '%s', expected '%s'" % (name, os.path.basename(debug)))
elif not os.path.isfile(debug):
    print("the symbols archive has no %s" % name)
elif zlib.crc32(open(debug, "rb").read()) != crc:
    print("%s in the symbols archive is not the one split off this program" % name)
PYTHON
    rm -f "$section" "$section.exe"
}

# A released program is stripped: no debug sections, no symbol table, only a link to its debug
# file, which lies at the same place in the symbols archive.
check_stripped() {
    local file=$1 symbols=$2
    local path="$bin/$file" sections debug_sections problem
    [ -f "$path" ] || return
    sections=$($objdump -h "$path" | awk '$1 ~ /^[0-9]+$/ { print $2 }')
    debug_sections=$(grep -E '^\.z?debug' <<<"$sections" | tr '\n' ' ')
    [ -z "$debug_sections" ] || fail "$file carries debug sections: $debug_sections"
    $objdump -f "$path" | grep -q HAS_SYMS && fail "$file carries a symbol table"
    if ! grep -qx '\.gnu_debuglink' <<<"$sections"; then
        fail "$file has no link to its debug file"
        return
    fi
    problem=$(check_debug_link "$path" "$symbols/$file.debug")
    [ -z "$problem" ] || fail "$file: $problem"
}

# The folder of the stand-in archive that alone may hold a steam_api.dll; its name says it is not Steam.
standin_folder=steam-standin-for-testing
if $release; then
    shopt -s nullglob
    archives=("$dist"/karveth-tools-*-win32.zip)
    symbol_archives=("$dist"/karveth-tools-*-win32-symbols.zip)
    standin_archives=("$dist"/karveth-tools-*-win32-standin.zip)
    shopt -u nullglob
    if [ ${#archives[@]} -ne 1 ] || [ ${#symbol_archives[@]} -ne 1 ] || [ ${#standin_archives[@]} -ne 1 ]; then
        fail "$dist must hold one program archive, one symbols archive and one stand-in archive"
        echo "$failures failed"
        exit 1
    fi
    [ -f "$dist/SHA256SUMS" ] || fail "$dist has no SHA256SUMS"
    for archive in "${archives[@]}" "${symbol_archives[@]}" "${standin_archives[@]}"; do
        grep -q "  $(basename "$archive")\$" "$dist/SHA256SUMS" 2>/dev/null ||
            fail "SHA256SUMS does not cover $(basename "$archive")"
    done
    (cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the archives"
    # Our stand-in Steam library is for tests only: never loose in the release, never in the
    # program or symbols archive, and in the stand-in archive only in its marked folder.
    found=$(find "$dist" -iname steam_api.dll)
    [ -z "$found" ] || fail "$dist holds $found"
    for archive in "${archives[@]}" "${symbol_archives[@]}" "${standin_archives[@]}"; do
        packed=$(/usr/bin/python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' \
            "$archive" | grep -i '\(^\|/\)steam_api\.dll$')
        if [ "$archive" = "${standin_archives[0]}" ]; then
            packed=$(grep -v "^$standin_folder/" <<<"$packed")
            [ -z "$packed" ] || fail "$(basename "$archive") packs $packed outside $standin_folder/"
        else
            [ -z "$packed" ] || fail "$(basename "$archive") packs $packed"
        fi
    done
    unpacked=$(mktemp -d)
    trap 'rm -rf "$unpacked"' EXIT
    /usr/bin/python3 -m zipfile -e "${archives[0]}" "$unpacked/package"
    /usr/bin/python3 -m zipfile -e "${symbol_archives[0]}" "$unpacked/symbols"
    /usr/bin/python3 -m zipfile -e "${standin_archives[0]}" "$unpacked/standin"
    bin=$unpacked/package
    origin=$(basename "${archives[0]}")
    programs=(authbridge/authbridge.exe Update/Update.exe)
    standin_bin=$unpacked/standin
    standin_origin=$(basename "${standin_archives[0]}")
    standins=("$standin_folder/steam_api.dll" "$standin_folder/init-fails/steam_api.dll")
else
    programs=(authbridge.exe Update.exe)
    standin_bin=$bin
    standin_origin=$origin
    standins=(steam_api.dll initfail/steam_api.dll)
fi

check_program "${programs[0]}" "Windows CUI" steam_api.dll
check_program "${programs[1]}" "Windows GUI" ""
for standin in "${standins[@]}"; do
    check_standin "$standin"
done
if $release; then
    for program in "${programs[@]}"; do
        check_stripped "$program" "$unpacked/symbols"
    done
fi

# The bridge must import exactly these Steam functions, undecorated, so the real library fits.
expected="SteamAPI_RegisterCallback SteamGameServer SteamGameServer_Init SteamGameServer_RunCallbacks SteamGameServer_Shutdown"
if [ -f "$bin/${programs[0]}" ]; then
    imported=$($objdump -p "$bin/${programs[0]}" | sed -n '/DLL Name: steam_api.dll/,/^$/p' |
        awk 'NR > 2 && NF >= 3 { print $3 }' | sort | tr '\n' ' ' | sed 's/ $//')
    [ "$imported" = "$expected" ] || fail "authbridge.exe imports from steam_api.dll: '$imported', expected '$expected'"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures failed"
    exit 1
fi
echo "shipped programs: all checks passed"
