#!/usr/bin/env bash
# A game server written in C, built as a server programmer builds it from the release alone: the
# program and stand-in archives unpacked into a fresh folder, a CMake project of the C language
# only that includes the archive's bridgeparent/ with the lines docs/server-library.md shows,
# built with the x86_64 MinGW toolchain. The server must need no runtime DLL, and under Wine it
# must authenticate stand-in tickets through the bridge and get the right verdicts. The bridge is
# the x86_64 test build's, beside its stand-in steam_api.dll: 64-bit Wine cannot run the
# archive's i686 programs. Then the example server, built and run as docs/server-library.md says,
# from the same folder: the page's own MinGW commands build it for i686, and its run commands run
# it in the 32-bit lane beside the archive's authbridge.exe and stand-in steam_api.dll; it must end
# with exit code 0 and the outcome the page shows.
#   usage: release-c-server.sh CHECKOUT AUTHBRIDGE_EXE SERVER_SOURCE   (SERVER_SOURCE: a .c file)
set -euo pipefail
usage="usage: release-c-server.sh CHECKOUT AUTHBRIDGE_EXE SERVER_SOURCE"
KARVETH_RELEASE_SOURCE=${1:?$usage}
bridge=${2:?$usage}
server_source=${3:?$usage}
# shellcheck source=tests/shipping/release-support.sh
source "$(dirname "$0")/release-support.sh"

clone=$(release_clone c-server/karveth)
release_run "$clone"
program_archive=$(ls "$clone"/dist/karveth-tools-*-win32.zip)
standin_archive=$(ls "$clone"/dist/karveth-tools-*-win32-standin.zip)
version=$(basename "$program_archive" | sed 's/^karveth-tools-\(.*\)-win32\.zip$/\1/')

# The fresh folder: the two archives unpacked, the server's source and its CMake project.
kit=$release_work/server/kit
project=$release_work/server/project
/usr/bin/python3 -m zipfile -e "$program_archive" "$kit"
/usr/bin/python3 -m zipfile -e "$standin_archive" "$kit"
mkdir -p "$project"
cp "$server_source" "$project/Server.c"
cat >"$project/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.16)
project(server C)
add_subdirectory("$kit/bridgeparent" bridgeparent)
add_executable(server Server.c)
set_target_properties(server PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(server PRIVATE -Wall -Wextra -pedantic -Werror)
target_compile_definitions(server PRIVATE KARVETH_EXPECTED_VERSION="$version")
target_include_directories(server PRIVATE "$kit/steam-standin-for-testing")
target_link_libraries(server PRIVATE bridge_parent)
EOF
echo "--- the server's CMakeLists.txt:"
cat "$project/CMakeLists.txt"

build=$release_work/server/build
if ! cmake -S "$project" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$clone/cmake/mingw-x86_64.cmake" >"$build.configure.log" 2>&1; then
    cat "$build.configure.log"
    fail "the C-only project does not configure on the archive's bridgeparent/"
elif ! cmake --build "$build" >"$build.build.log" 2>&1; then
    cat "$build.build.log"
    fail "the C-only project does not build on the archive's bridgeparent/"
else
    server=$build/server.exe
    imported=$(x86_64-w64-mingw32-objdump -p "$server" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')
    echo "server.exe imports: $imported"
    # What a C server may need besides Windows itself is the C++ runtime the library brings in.
    for runtime in libstdc++ libgcc libwinpthread; do
        ! grep -qi "$runtime" <<<"$imported" || fail "server.exe needs MinGW's $runtime DLL beside it"
    done
    echo "--- wine server.exe $(basename "$bridge"):"
    wine "$server" "Z:$bridge" || fail "the C server built from the release failed against the bridge"
fi

# The page's command blocks, in order: the first builds with MinGW, the second runs.
page=$kit/docs/server-library.md
commands=$release_work/server/commands
mkdir -p "$commands"
awk -v folder="$commands" '/^```sh$/ { block++; inside = 1; next } /^```$/ { inside = 0 }
    inside { print > (folder "/" block ".sh") }' "$page"
# shellcheck disable=SC2016 # the backticks are Markdown's, not the shell's
documented=$(sed -n '/^```text$/,/^```$/p' "$page" | sed -n '/^outcome:$/,/^```$/p' | sed '$d')
echo "--- the example's commands from docs/server-library.md:"
cat "$commands/1.sh" "$commands/2.sh"
if ! (cd "$kit" && bash -e "$commands/1.sh") >"$commands/build.log" 2>&1; then
    cat "$commands/build.log"
    fail "the example server does not build with the commands of docs/server-library.md"
else
    imported=$(i686-w64-mingw32-objdump -p "$kit/build/example_server.exe" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')
    echo "example_server.exe imports: $imported"
    for runtime in libstdc++ libgcc libwinpthread; do
        ! grep -qi "$runtime" <<<"$imported" || fail "example_server.exe needs MinGW's $runtime DLL beside it"
    done
    scripts=$clone/scripts
    status=0
    (
        set -e
        export KARVETH_WINEPREFIX32="$KARVETH_RELEASE_SOURCE/build/wineprefix32-release"
        # shellcheck source=scripts/wine-env.sh
        source "$scripts/wine-env.sh"
        # shellcheck source=scripts/lane32-env.sh
        source "$scripts/lane32-env.sh"
        karveth_display_start
        trap 'lane32_stop; karveth_display_stop' EXIT
        lane32_start "$kit"
        # The page runs it with a Wine that runs 32-bit programs: here the lane's.
        # shellcheck disable=SC2317 # called by the page's commands
        wine() { "$scripts/lane32-wine" "$@"; }
        cd "$kit"
        # shellcheck source=/dev/null
        source "$commands/2.sh"
    ) >"$commands/run.log" 2>&1 || status=$?
    echo "--- the example's run (exit code $status):"
    cat "$commands/run.log"
    [ "$status" -eq 0 ] || fail "the example server ended with exit code $status"
    outcome=$(tr -d '\r' <"$commands/run.log" | sed -n '/^outcome:$/,$p')
    [ -n "$documented" ] || fail "docs/server-library.md shows no outcome of the example"
    [ "$outcome" = "$documented" ] ||
        fail "the example's outcome is not the one docs/server-library.md shows:"$'\n'"$outcome"$'\n'"documented:"$'\n'"$documented"
fi

release_finish "C server and example server from the release archives: built and authenticated"
