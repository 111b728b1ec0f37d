#!/usr/bin/env bash
# The simulated boxes of the Win32 upload tests, on the build machine: two sorvel-boxsim on
# pseudo-terminals linked as COM ports of the dialog tests' Wine prefix, both serving the upload
# files of one upgrade folder.
#
#   boxes.sh start DIR BOXSIM WINE_RUN DISPLAY PREFIX FAST_COM SLOW_COM
#       writes the upload files DIR/Ressources/{Sti,Cart1,Cart2}.urt, starts the boxes (their
#       process numbers in DIR/<box>.pid, their output in DIR/<box>.log) and, once both ports are
#       linked, writes DIR/ports ("fast=COM<n>", "slow=COM<n>"), which tells the tests that the
#       boxes are up. The Wine prefix PREFIX (made on DISPLAY first when it is new) gets the links
#       PREFIX/dosdevices/com<n>.
#   boxes.sh report DIR
#       stops the boxes and checks their summaries: the fast box has every file of each round
#       begun intact (when any record reached it), the slow box never had its file whole, neither
#       saw a wrong record.
#   boxes.sh stop DIR
#       stops the boxes that still run and removes DIR/ports.
#
# The fast box expects a complete update (Sti, Cart1, Cart2) round after round. The slow box, a
# 9600 baud line (about a quarter of a second a record), expects the STI file round after round,
# and reports every record: uploads to it are cancelled halfway by the tests.
set -euo pipefail
action=$1 dir=$2
boxes=(fast slow)

# Whether process $1 runs (an ended box may stay a zombie for a while: it is no child of ours).
running() {
    local state
    state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

# Stops one box with SIGINT (it then prints its summary and removes its link), by the process
# number it was started with, if that is still a box.
stop_box() {
    local pidfile=$dir/$1.pid pid
    [ -f "$pidfile" ] || return 0
    pid=$(cat "$pidfile")
    if [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = sorvel-boxsim ]; then
        kill -INT "$pid" 2>/dev/null || true
        for _ in $(seq 250); do
            running "$pid" || break
            sleep 0.02
        done
        if running "$pid"; then
            echo "the $1 box did not end on SIGINT; killed"
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
    rm -f "$pidfile"
}

stop_all() {
    rm -f "$dir/ports"
    for box in "${boxes[@]}"; do stop_box "$box"; done
}

# "received N of M files intact, R records" of a box's summary, as "N M R"; nothing without one.
summary_counts() {
    sed -n 's/^box: received \([0-9]*\) of \([0-9]*\) files intact, \([0-9]*\) records.*/\1 \2 \3/p' \
        "$dir/$1.log"
}

case "$action" in
start)
    boxsim=$3 wine_run=$4 display=$5 prefix=$6 fast_com=$7 slow_com=$8
    # Low numbers are the machine's own ports: a prefix maps COM1 to its console port.
    for com in "$fast_com" "$slow_com"; do
        if ! [ "$com" -ge 10 ] 2>/dev/null; then
            echo "COM$com: the boxes need high COM numbers (10 and above)"
            exit 2
        fi
    done
    stop_all # boxes left by an interrupted run
    # The links go into the prefix's dosdevices, which Wine makes with the prefix: a new prefix
    # is made first (with the display, as the dialog tests make it).
    if [ ! -f "$prefix/.sorvel-ready" ]; then
        SORVEL_WINEPREFIX="${prefix%-gui}" SORVEL_WINE_GUI="$display" \
            "$wine_run" cmd.exe /c exit </dev/null >/dev/null 2>&1
    fi
    mkdir -p "$dir/Ressources"
    cd "$dir"
    # The same arguments give the same files: a run after an interrupted one finds them intact.
    "$boxsim" --write-upload-file Ressources/Sti.urt --records 40 --record-bytes 256 --seed 11
    "$boxsim" --write-upload-file Ressources/Cart1.urt --records 30 --record-bytes 700 --seed 12
    "$boxsim" --write-upload-file Ressources/Cart2.urt --records 20 --record-bytes 1500 --seed 13
    # A box ends on its own after half an hour, should no stop ever come. Its streams are its
    # log's and /dev/null: it must not hold the test's output open.
    "$boxsim" --repeat --timeout 1800 --link "$prefix/dosdevices/com$fast_com" \
        Ressources/Sti.urt Ressources/Cart1.urt Ressources/Cart2.urt \
        >fast.log 2>&1 </dev/null &
    echo $! >fast.pid
    "$boxsim" --repeat --timeout 1800 --baud 9600 --verbose \
        --link "$prefix/dosdevices/com$slow_com" Ressources/Sti.urt \
        >slow.log 2>&1 </dev/null &
    echo $! >slow.pid
    # A box prints its port once its link exists.
    for box in "${boxes[@]}"; do
        for _ in $(seq 100); do
            [ -s "$box.log" ] && break
            running "$(cat "$box.pid")" || break
            sleep 0.02
        done
        if ! [ -s "$box.log" ] || ! running "$(cat "$box.pid")"; then
            echo "the $box box did not start:"
            cat "$box.log"
            stop_all
            exit 1
        fi
    done
    printf 'fast=COM%s\nslow=COM%s\n' "$fast_com" "$slow_com" >ports
    ;;
report)
    stop_all
    failed=0
    for box in "${boxes[@]}"; do
        echo "$box box:"
        grep '^box: \(received\|timed out\|error\|complete rounds\)' "$dir/$box.log" | sed 's/^/  /'
        read -r intact expected records <<<"$(summary_counts "$box")" || true
        if [ -z "${intact:-}" ]; then
            echo "  no summary"
            failed=1
        elif grep -q '^box: \(error\|timed out\)' "$dir/$box.log"; then
            failed=1
        elif [ "$box" = fast ] && [ "$records" != 0 ] && [ "$intact" != "$expected" ]; then
            echo "  a round begun did not arrive whole"
            failed=1
        elif [ "$box" = slow ] && [ "$intact" != 0 ]; then
            echo "  the file arrived whole although every upload was cancelled"
            failed=1
        fi
        unset intact expected records
    done
    exit $failed
    ;;
stop)
    stop_all
    ;;
*)
    echo "usage: boxes.sh start|report|stop DIR ..." >&2
    exit 2
    ;;
esac
