#!/usr/bin/env bash
# Installs, on a Debian 12 machine, what one command needs, and only that:
#   setup.sh demo     the x86_64 build and the host's Wine with a virtual display (scripts/demo.sh)
#   setup.sh win64    the demo's, plus what the x86_64 test lane and the test-only DLLs need
#   setup.sh tests    win64's, plus the i686 toolchain and the 32-bit lane (scripts/test.sh)
#   setup.sh release  the tests', plus signing (scripts/release.sh); also the default
#   setup.sh coverage the tests', plus gcovr for the coverage report (scripts/coverage.sh)
# A second run finds nothing missing and returns within a second or two.
set -euo pipefail

profile=${1:-release}
demo_packages=(cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest
               wine wine64 xvfb x11-utils)
win64_packages=("${demo_packages[@]}" xdotool imagemagick git python3 unzip tzdata
                # clang, lld-link and llvm-dlltool build the test steam_api.dll in Microsoft's ABI
                clang lld llvm
                # the release tests build and sign in fresh clones
                g++-mingw-w64-i686-posix binutils-mingw-w64-i686 osslsigncode openssl)
lane32=false
case $profile in
    demo) packages=("${demo_packages[@]}") ;;
    win64) packages=("${win64_packages[@]}") ;;
    tests | release) packages=("${win64_packages[@]}" mmdebstrap arch-test) lane32=true ;;
    coverage) packages=("${win64_packages[@]}" mmdebstrap arch-test gcovr) lane32=true ;;
    *) echo "setup.sh: unknown profile '$profile' (demo, win64, tests, release or coverage)" >&2; exit 2 ;;
esac

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null || ! sudo -n true 2>/dev/null; then
        if $lane32; then
            echo "setup.sh: the 32-bit lane needs root (chroot, mounts, binfmt_misc): run this command as root or with sudo, or run the x86_64 lane alone: bash scripts/test.sh --preset win64" >&2
            exit 1
        fi
    fi
    sudo_cmd=(sudo)
fi

# One dpkg-query for all: the ones not installed come back without "ok installed".
mapfile -t missing < <(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>&1 |
    awk '/^dpkg-query: no packages found matching / { print $NF; next }
         $0 !~ / ok installed$/ { print $1 }')
if [ ${#missing[@]} -gt 0 ]; then
    if [ ${#sudo_cmd[@]} -gt 0 ] && ! sudo -n true 2>/dev/null; then
        echo "setup.sh: missing packages, and installing them needs root: sudo apt-get install ${missing[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -q
    "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The 32-bit lane, cached outside the checkout; see scripts/setup-lane32.sh.
if $lane32; then
    "${sudo_cmd[@]}" bash "$(dirname "$0")/setup-lane32.sh"
fi
