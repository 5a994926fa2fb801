# shellcheck shell=bash
# Sourced: the 32-bit lane, in which i686 Windows programs run under 32-bit Wine, inside an i386
# Debian root that scripts/setup-lane32.sh prepares (qemu-user runs its 32-bit files).
#   lane32_start [FOLDER...]  a mount namespace of this checkout's own in which the root sees /proc,
#                             /dev, the host's X sockets (start the display first), this checkout,
#                             the lane's Wine prefix (made on first use) and each FOLDER at their
#                             own paths; a persistent wineserver in it
#   lane32_run COMMAND...     runs COMMAND (wine, wineserver...) there, in the current folder;
#                             "${lane32_command[@]}" "$PWD" COMMAND... is the same, for exec
#   lane32_stop               ends the wineserver and the namespace
#   lane32_lock               takes the lane's lock in this shell (lane32_start takes it otherwise)
#   lane32_require_root CMD   ends CMD at once, saying so, when it is not run as root
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
# Exported for tests that put files into the prefix. A checkout cloned and released from a test run
# is given a prefix of its own (tests/shipping/release-support.sh).
export KARVETH_WINEPREFIX32=${KARVETH_WINEPREFIX32:-$lane32_checkout/build/wineprefix32}
lane32_prefix=$KARVETH_WINEPREFIX32
# Namespaces are kept by a file in a private mount, one per checkout.
lane32_namespaces=/run/karveth-lane32
lane32_ns=$lane32_namespaces/$(printf '%s' "$lane32_checkout" | sha256sum | cut -c1-16)

# Wine's own settings for the lane; the rest of the environment (DISPLAY, WINEDEBUG...) passes.
# shellcheck disable=SC2016 # expanded by the shell in the root
lane32_command=(nsenter --mount="$lane32_ns" -- chroot "$lane32_root" /usr/bin/env
                WINEPREFIX="$lane32_prefix" WINEARCH=win32
                /bin/sh -c 'cd "$1" && shift && exec "$@"' lane32)

lane32_run() {
    "${lane32_command[@]}" "$PWD" "$@"
}

lane32_start() {
    if [ ! -f "$lane32_dir/ready" ]; then
        echo "lane32: the 32-bit lane is not prepared in $lane32_dir (run scripts/setup.sh)" >&2
        return 1
    fi
    if ! mountpoint -q "$lane32_namespaces"; then
        mkdir -p "$lane32_namespaces"
        mount --bind "$lane32_namespaces" "$lane32_namespaces"
        mount --make-private "$lane32_namespaces"
    fi
    if [ -z "${lane32_lock_fd:-}" ]; then
        lane32_lock || return 1
    fi
    # A namespace left by a run that was killed is ended first.
    lane32_teardown
    local t_drive=$lane32_prefix-t
    mkdir -p "$lane32_prefix" "$t_drive"
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
        done' lane32 "$lane32_root" "$lane32_checkout" "$lane32_prefix" "$t_drive" "$@"

    if [ ! -f "$lane32_prefix/system.reg" ]; then
        lane32_run wineboot --init >/dev/null 2>&1
        lane32_run wineserver -w
        # A crash must end a test, not wait on a dialog nobody will see.
        lane32_run wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
            >/dev/null 2>&1
        lane32_run wineserver -w
    fi
    ln -sfn "$t_drive" "$lane32_prefix/dosdevices/t:"
    lane32_run wineserver -p {lane32_lock_fd}>&-
    lane32_run wine cmd /c exit >/dev/null 2>&1 {lane32_lock_fd}>&- || true
}

# Ends a command that needs the lane, when not run as root, with one line saying how to run it.
#   lane32_require_root COMMAND [WITHOUT]   WITHOUT: what runs without the lane, if anything
lane32_require_root() {
    [ "$(id -u)" -ne 0 ] || return 0
    echo "$1: the 32-bit lane needs root (a chroot, mounts, binfmt_misc): run it as root," \
         "for example sudo bash $1${2:+, or without the lane: $2}" >&2
    exit 1
}

# One run at a time per checkout: takes the lane's lock, which this shell then holds until
# lane32_stop or its end (and the processes it starts, while they run: the persistent wineserver and
# Wine's first processes are given no copy). A second run fails at once, saying so.
lane32_lock() {
    if lane32_try_lock; then
        return 0
    fi
    echo "lane32: the 32-bit lane of $lane32_checkout is in use by another run" >&2
    return 1
}

lane32_try_lock() {
    mkdir -p "$lane32_namespaces"
    exec {lane32_lock_fd}>"$lane32_ns.lock"
    flock -n "$lane32_lock_fd" && return 0
    exec {lane32_lock_fd}>&-
    unset lane32_lock_fd
    return 1
}

# Ends the lane's wineserver and namespace, if any; the caller holds the lock.
lane32_teardown() {
    if [ -e "$lane32_ns" ] && mountpoint -q "$lane32_ns"; then
        lane32_run wineserver -k >/dev/null 2>&1 || true
        umount "$lane32_ns"
    fi
    rm -f "$lane32_ns"
}

# Ends this shell's run of the lane, or one left by a run that was killed; leaves alone a lane that
# another live run holds.
lane32_stop() {
    if [ -z "${lane32_lock_fd:-}" ]; then
        [ -d "$lane32_namespaces" ] && lane32_try_lock || return 0
    fi
    lane32_teardown
    exec {lane32_lock_fd}>&-
    unset lane32_lock_fd
}
