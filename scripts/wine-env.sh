# shellcheck shell=bash
# Sourced by the test and demo scripts: a Wine prefix of the project's own, a persistent
# wineserver and a virtual X display, all ended by karveth_wine_stop.
#   KARVETH_WINEPREFIX  the prefix (default: build/wineprefix in this checkout)
#   KARVETH_DISPLAY     the X display number to use (default: the first free one from 90)
# Drive T: of the prefix is a quiet folder of its own (the prefix's path with -t added:
# build/wineprefix-t), for tests whose folders must not change while a shell dialog is open.

karveth_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${KARVETH_WINEPREFIX:-$karveth_root/build/wineprefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export KARVETH_T_DRIVE=${KARVETH_T_DRIVE:-$WINEPREFIX-t}

karveth_xvfb_pids=()

# The virtual X display alone, for programs of another Wine (the 32-bit lane's).
karveth_display_start() {
    if [ -z "${KARVETH_DISPLAY:-}" ]; then
        KARVETH_DISPLAY=90
        while [ -e "/tmp/.X11-unix/X$KARVETH_DISPLAY" ] || [ -e "/tmp/.X$KARVETH_DISPLAY-lock" ]; do
            KARVETH_DISPLAY=$((KARVETH_DISPLAY + 1))
        done
    fi
    # Exported, so that a script started from here uses the same display instead of starting another.
    export KARVETH_DISPLAY
    export DISPLAY=":$KARVETH_DISPLAY"
    if ! xdpyinfo -display "$DISPLAY" >/dev/null 2>&1; then
        Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
        karveth_xvfb_pids+=($!)
        for _ in $(seq 50); do
            xdpyinfo -display "$DISPLAY" >/dev/null 2>&1 && break
            sleep 0.1
        done
    fi
}

# Ends every display that this shell started (a script that runs two lanes starts two).
karveth_display_stop() {
    local pid
    for pid in "${karveth_xvfb_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    karveth_xvfb_pids=()
}

karveth_wine_start() {
    mkdir -p "$KARVETH_T_DRIVE"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        wineboot --init >/dev/null 2>&1
        wineserver -w
        # A crash must end a test, not wait on a dialog nobody will see.
        wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
        wineserver -w
    fi
    ln -sfn "$KARVETH_T_DRIVE" "$WINEPREFIX/dosdevices/t:"

    karveth_display_start

    # Fails harmlessly when a wineserver already serves this prefix.
    wineserver -p 2>/dev/null || true
    wine cmd /c exit >/dev/null 2>&1 || true
}

karveth_wine_stop() {
    wineserver -k >/dev/null 2>&1 || true
    karveth_display_stop
}
