#!/usr/bin/env bash
# Installs what the build, the tests, the demo and the release need on a fresh Debian 12 machine.
set -euo pipefail

packages=(cmake ninja-build g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
          binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 googletest
          wine wine64 xvfb xdotool imagemagick x11-utils
          git python3 osslsigncode openssl tzdata mmdebstrap arch-test
          # clang, lld-link and llvm-dlltool build the test steam_api.dll in Microsoft's ABI
          clang lld llvm)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    $sudo_cmd apt-get update -q
    $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The 32-bit lane, cached outside the checkout; see scripts/setup-lane32.sh.
$sudo_cmd bash "$(dirname "$0")/setup-lane32.sh"
