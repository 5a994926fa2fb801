#!/usr/bin/env bash
# A game server written in C, built as a server programmer builds it from the release alone: the
# program and stand-in archives unpacked into a fresh folder, a CMake project of the C language
# only that includes the archive's bridgeparent/ with the lines docs/parent-protocol.md shows,
# built with the x86_64 MinGW toolchain. The server must need no runtime DLL, and under Wine it
# must authenticate stand-in tickets through the bridge and get the right verdicts. The bridge is
# the x86_64 test build's, beside its stand-in steam_api.dll: 64-bit Wine cannot run the
# archive's i686 programs.
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

release_finish "C server from the release archives: built and authenticated"
