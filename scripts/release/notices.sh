#!/usr/bin/env bash
# Writes the third-party notices for what the given files (programs, DLLs) link in statically, from
# the copyright files of the Debian packages that provide those libraries to the given compiler.
#   usage: notices.sh COMPILER FILE... > THIRD-PARTY-NOTICES.txt
set -euo pipefail
usage="usage: notices.sh COMPILER FILE..."
compiler=${1:?$usage}
shift
[ $# -gt 0 ] || { echo "$usage" >&2; exit 1; }

# What the link pulls in: the C++ runtime, libgcc, winpthreads and the MinGW-w64 runtime.
components=(
    "GNU C++ library (libstdc++)|libstdc++.a"
    "GCC runtime library (libgcc)|libgcc.a"
    "GCC exception handling runtime (libgcc_eh)|libgcc_eh.a"
    "winpthreads (POSIX threads for Windows)|libwinpthread.a"
    "MinGW-w64 runtime (start-up code and C library additions)|libmingwex.a"
)

package_of() {
    local library path
    library=$1
    path=$(readlink -f "$("$compiler" -print-file-name="$library")")
    [ -f "$path" ] || { echo "notices.sh: $compiler has no $library" >&2; exit 1; }
    dpkg-query -S "$path" | cut -d: -f1
}

# "a.exe", "a.exe and b.exe", "a.exe, b.dll and c.dll"
files=$1
for ((i = 2; i <= $#; ++i)); do
    if [ "$i" -eq $# ]; then
        files+=" and ${!i}"
    else
        files+=", ${!i}"
    fi
done
heading="Third-party software in $files"

packages=()
echo "$heading"
echo "${heading//?/=}"
echo
echo "$files $([ $# -eq 1 ] && echo is || echo are) linked statically with the libraries below. Their"
echo "copyright and licence texts follow, as the Debian packages that built this release state them."
echo
for component in "${components[@]}"; do
    name=${component%%|*}
    package=$(package_of "${component#*|}")
    echo "- $name: Debian package $package $(dpkg-query -W -f='${Version}' "$package")"
    packages+=("$package")
done

# Packages of one source share one copyright file: each distinct text is given once.
declare -A seen
for package in $(printf '%s\n' "${packages[@]}" | sort -u); do
    copyright=$(readlink -f "/usr/share/doc/$package/copyright")
    [ -f "$copyright" ] || { echo "notices.sh: $package has no copyright file" >&2; exit 1; }
    sum=$(sha256sum "$copyright" | cut -d' ' -f1)
    if [ -n "${seen[$sum]:-}" ]; then
        continue
    fi
    seen[$sum]=1
    sharing=""
    for other in $(printf '%s\n' "${packages[@]}" | sort -u); do
        if [ "$(readlink -f "/usr/share/doc/$other/copyright")" = "$copyright" ]; then
            sharing+="$other "
        fi
    done
    echo
    echo
    echo "======== Debian package(s) ${sharing% }: copyright file"
    echo
    cat "$copyright"
done
