#!/usr/bin/env bash
# Starts or stops the X server of the Win32 dialog tests: Xvfb on the given display, its process
# number kept in PIDFILE.
#   xvfb.sh start DISPLAY PIDFILE     e.g. xvfb.sh start :93 build/windows/xvfb.pid
#   xvfb.sh stop DISPLAY PIDFILE
set -euo pipefail
action=$1 display=$2 pidfile=$3
number=${display#:}

stop() {
    if [ -f "$pidfile" ]; then
        kill "$(cat "$pidfile")" 2>/dev/null || true
        rm -f "$pidfile"
    fi
}

case "$action" in
start)
    stop # one left by an interrupted run
    if [ -e "/tmp/.X11-unix/X$number" ] && ! [ -e "/tmp/.X$number-lock" ]; then
        rm -f "/tmp/.X11-unix/X$number"
    fi
    Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
    echo $! >"$pidfile"
    for _ in $(seq 100); do
        [ -e "/tmp/.X11-unix/X$number" ] && exit 0
        kill -0 "$(cat "$pidfile")" 2>/dev/null ||
            { echo "Xvfb did not start on $display (is the display taken?)"; exit 1; }
        sleep 0.05
    done
    echo "Xvfb did not come up on $display"
    exit 1
    ;;
stop)
    stop
    ;;
esac
