#!/usr/bin/env bash
# Inspects the shipping (i686) build: both programs are 32-bit PE executables of the right
# subsystem, and need nothing beyond Windows' own DLLs (and steam_api.dll for the bridge).
set -u
bin=${1:?usage: check-shipped.sh BIN_FOLDER}
objdump=i686-w64-mingw32-objdump
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# DLLs that every Windows installation has; anything else would have to ship beside the program.
windows_dlls="kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll ole32.dll comctl32.dll comdlg32.dll
              msvcrt.dll shlwapi.dll oleaut32.dll"

check_program() {
    local file=$1 subsystem=$2 extra_dll=$3
    local path="$bin/$file"
    if [ ! -f "$path" ]; then
        fail "$path is missing (build the win32 preset first)"
        return
    fi
    local headers
    headers=$($objdump -p "$path")
    grep -q "file format pei-i386" <<<"$headers" || fail "$file is not a 32-bit (i386) PE file"
    grep -q "^Magic.*(PE32)" <<<"$headers" || fail "$file is not PE32"
    grep -q "^Subsystem.*($subsystem)" <<<"$headers" || fail "$file is not a $subsystem program"
    local dll
    for dll in $(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z'); do
        case " $(echo $windows_dlls) $extra_dll " in
            *" $dll "*) ;;
            *) fail "$file imports $dll, which is not one of Windows' own DLLs" ;;
        esac
    done
    echo "checked $file: $(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr '\n' ' ')"
}

check_program authbridge.exe "Windows CUI" steam_api.dll
check_program Update.exe "Windows GUI" ""

# The bridge must import exactly these Steam functions, undecorated, so the real library fits.
expected="SteamAPI_RegisterCallback SteamGameServer SteamGameServer_Init SteamGameServer_RunCallbacks SteamGameServer_Shutdown"
if [ -f "$bin/authbridge.exe" ]; then
    imported=$($objdump -p "$bin/authbridge.exe" | sed -n '/DLL Name: steam_api.dll/,/^$/p' |
        awk 'NR > 2 && NF >= 3 { print $3 }' | sort | tr '\n' ' ' | sed 's/ $//')
    [ "$imported" = "$expected" ] || fail "authbridge.exe imports from steam_api.dll: '$imported', expected '$expected'"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures failed"
    exit 1
fi
echo "shipped programs: all checks passed"
