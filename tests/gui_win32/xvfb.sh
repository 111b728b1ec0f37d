#!/usr/bin/env bash
# Starts or stops the X server of the Win32 dialog tests: Xvfb on the given display with the
# openbox window manager on it (without one, Wine waits about 2 s for every window it withdraws:
# a closed message box holds the dialog's thread that long), their process numbers kept in
# PIDFILE and PIDFILE.wm.
#   xvfb.sh start DISPLAY PIDFILE     e.g. xvfb.sh start :93 build/windows/xvfb.pid
#   xvfb.sh stop DISPLAY PIDFILE
set -euo pipefail
action=$1 display=$2 pidfile=$3
number=${display#:}
wm_pidfile=$pidfile.wm
wm_ready=$pidfile.wm-ready

# Stops the window manager and the server, and waits until the server is gone: a new one cannot
# take the display before.
stop() {
    local file pid
    for file in "$wm_pidfile" "$pidfile"; do
        if [ -f "$file" ]; then
            pid=$(cat "$file")
            kill "$pid" 2>/dev/null || true
            for _ in $(seq 100); do
                kill -0 "$pid" 2>/dev/null && [ "$(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null)" != Z ] ||
                    break
                sleep 0.02
            done
            rm -f "$file"
        fi
    done
    rm -f "$wm_ready"
}

case "$action" in
start)
    stop # one left by an interrupted run
    if [ -e "/tmp/.X11-unix/X$number" ] && ! [ -e "/tmp/.X$number-lock" ]; then
        rm -f "/tmp/.X11-unix/X$number"
    fi
    Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
    echo $! >"$pidfile"
    up=0
    for _ in $(seq 100); do
        [ -e "/tmp/.X11-unix/X$number" ] && { up=1; break; }
        kill -0 "$(cat "$pidfile")" 2>/dev/null ||
            { echo "Xvfb did not start on $display (is the display taken?)"; exit 1; }
        sleep 0.05
    done
    [ "$up" = 1 ] || { echo "Xvfb did not come up on $display"; exit 1; }
    if ! command -v openbox >/dev/null; then
        echo "openbox is missing (scripts/install-deps installs it): windows close slowly"
        exit 0
    fi
    # openbox runs its --startup command once it manages the display.
    DISPLAY=$display openbox --sm-disable --startup "touch $wm_ready" \
        >/dev/null 2>&1 </dev/null &
    echo $! >"$wm_pidfile"
    for _ in $(seq 100); do
        [ -e "$wm_ready" ] && exit 0
        kill -0 "$(cat "$wm_pidfile")" 2>/dev/null || { echo "openbox did not start"; exit 1; }
        sleep 0.05
    done
    echo "openbox did not come up on $display"
    exit 1
    ;;
stop)
    stop
    ;;
esac
