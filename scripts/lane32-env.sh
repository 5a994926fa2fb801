# shellcheck shell=bash
# Sourced: the 32-bit lane, in which i686 Windows programs run under 32-bit Wine, inside an i386
# Debian root that scripts/setup-lane32.sh prepares (qemu-user runs its 32-bit files).
#   lane32_start [FOLDER...]  a mount namespace of this checkout's own in which the root sees /proc,
#                             /dev, the host's X sockets (start the display first), this checkout
#                             and each FOLDER at their own paths; the lane's Wine prefix, made on
#                             first use; a persistent wineserver in it
#   lane32_run COMMAND...     runs COMMAND (wine, wineserver...) there, in the current folder;
#                             "${lane32_command[@]}" "$PWD" COMMAND... is the same, for exec
#   lane32_stop               ends the wineserver and the namespace
#   KARVETH_LANE32_CACHE      where the lane is kept (default: /var/cache/karveth/lane32)
#   KARVETH_WINEPREFIX32      the lane's Wine prefix (default: build/wineprefix32 in this checkout)
# Runs as root (chroot, mounts).

lane32_suite=bookworm
lane32_emulator_suite=$lane32_suite-backports
lane32_emulator_package=qemu-user
lane32_root_packages=(wine wine32 fonts-wine
                      libxrender1 libxrandr2 libxi6 libxcursor1 libxinerama1 libxcomposite1 libxfixes3 libxxf86vm1)
# Anything here changed, or this number raised, and the lane is built afresh in a folder of its own.
lane32_recipe="1 $lane32_suite $lane32_emulator_suite $lane32_emulator_package i386 minbase ${lane32_root_packages[*]}"

lane32_cache=${KARVETH_LANE32_CACHE:-/var/cache/karveth/lane32}
lane32_dir=$lane32_cache/$(printf '%s' "$lane32_recipe" | sha256sum | cut -c1-16)
lane32_root=$lane32_dir/root
lane32_checkout=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export KARVETH_WINEPREFIX32=${KARVETH_WINEPREFIX32:-$lane32_checkout/build/wineprefix32}
# Namespaces are kept by a file in a private mount, one per checkout.
lane32_namespaces=/run/karveth-lane32
lane32_ns=$lane32_namespaces/$(printf '%s' "$lane32_checkout" | sha256sum | cut -c1-16)

# Wine's own settings for the lane; the rest of the environment (DISPLAY, WINEDEBUG...) passes.
# shellcheck disable=SC2016 # expanded by the shell in the root
lane32_command=(nsenter --mount="$lane32_ns" -- chroot "$lane32_root" /usr/bin/env
                WINEPREFIX="$KARVETH_WINEPREFIX32" WINEARCH=win32
                /bin/sh -c 'cd "$1" && shift && exec "$@"' lane32)

lane32_run() {
    "${lane32_command[@]}" "$PWD" "$@"
}

lane32_start() {
    if [ ! -f "$lane32_dir/ready" ]; then
        echo "lane32: the 32-bit lane is not prepared in $lane32_dir (run scripts/setup.sh)" >&2
        return 1
    fi
    # A namespace left by a run that was killed is ended first.
    lane32_stop
    if ! mountpoint -q "$lane32_namespaces"; then
        mkdir -p "$lane32_namespaces"
        mount --bind "$lane32_namespaces" "$lane32_namespaces"
        mount --make-private "$lane32_namespaces"
    fi
    touch "$lane32_ns"
    # shellcheck disable=SC2016 # expanded by the shell in the namespace
    unshare --mount="$lane32_ns" --propagation private -- /bin/bash -c '
        set -e
        root=$1
        shift
        mount -t proc proc "$root/proc"
        mount --bind /dev "$root/dev"
        mount --bind /dev/pts "$root/dev/pts"
        mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
        mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
        mkdir "$root/tmp/.X11-unix"
        mount --bind /tmp/.X11-unix "$root/tmp/.X11-unix"
        for folder in "$@"; do
            mkdir -p "$root$folder"
            mount --bind "$folder" "$root$folder"
        done' lane32 "$lane32_root" "$lane32_checkout" "$@"

    local t_drive=$KARVETH_WINEPREFIX32-t
    mkdir -p "$t_drive"
    if [ ! -f "$KARVETH_WINEPREFIX32/system.reg" ]; then
        mkdir -p "$KARVETH_WINEPREFIX32"
        lane32_run wineboot --init >/dev/null 2>&1
        lane32_run wineserver -w
        # A crash must end a test, not wait on a dialog nobody will see.
        lane32_run wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
            >/dev/null 2>&1
        lane32_run wineserver -w
    fi
    ln -sfn "$t_drive" "$KARVETH_WINEPREFIX32/dosdevices/t:"
    lane32_run wineserver -p
    lane32_run wine cmd /c exit >/dev/null 2>&1 || true
}

lane32_stop() {
    [ -e "$lane32_ns" ] || return 0
    if mountpoint -q "$lane32_ns"; then
        lane32_run wineserver -k >/dev/null 2>&1 || true
        umount "$lane32_ns"
    fi
    rm -f "$lane32_ns"
}
