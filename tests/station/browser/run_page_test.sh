#!/usr/bin/env bash
# The station's page in headless Chromium: makes an upgrade, starts a simulated box for slot 1
# (slot 2 has no box and is never started), starts sorvel-station over both, and runs
# page_test.mjs against the page it serves.
#   run_page_test.sh BIN_DIR    (the build's programs: sorvel-station, sorvel-cli, sorvel-boxsim,
#                                sorvel-config)
set -euo pipefail
bin=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill -INT "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

up=$work/upgrade
mkdir -p "$up/Ressources"
for file in Sti.urt:30:1 Cartridge1.urt:20:2 Cartridge2.urt:10:3; do
    IFS=: read -r name records seed <<<"$file"
    "$bin/sorvel-boxsim" --write-upload-file "$up/Ressources/$name" --records "$records" \
        --record-bytes 256 --seed "$seed" >/dev/null
done
"$bin/sorvel-config" make -o "$up/Ressources/Configuration.zkf" --sti '.\Ressources\Sti.urt' \
    --cartridge1 '.\Ressources\Cartridge1.urt' --cartridge2 '.\Ressources\Cartridge2.urt' \
    --software-version "STI 2.04 test" --cartridge-type TEST >/dev/null

"$bin/sorvel-boxsim" --baud 115200 --keep-open --link "$work/box1" \
    "$up/Ressources/Sti.urt" "$up/Ressources/Cartridge1.urt" "$up/Ressources/Cartridge2.urt" \
    >"$work/box1.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -L "$work/box1" ] && break; sleep 0.05; done

"$bin/sorvel-station" --port "$work/box1" --port "$work/box2" --listen 127.0.0.1:0 \
    --record "$work/record.jsonl" --worker "$bin/sorvel-cli" "$up" \
    >"$work/station.out" 2>"$work/station.err" &
pids=("$!" "${pids[@]}")
for _ in $(seq 200); do grep -q '^Press Ctrl-C' "$work/station.out" && break; sleep 0.05; done
url=$(sed -n 's/^The page: //p' "$work/station.out")
if [ -z "$url" ]; then
    echo "run_page_test: the station did not start" >&2
    cat "$work/station.out" "$work/station.err" >&2
    exit 1
fi
status=0
SORVEL_BROWSER_SLOT=1 SORVEL_BROWSER_SHOT=${SORVEL_BROWSER_SHOT:-$work/failed.png} \
    node "$here/page_test.mjs" "$url" || status=$?
if [ "$status" -ne 0 ]; then
    echo "--- station" >&2
    cat "$work/station.err" >&2
    echo "--- box" >&2
    cat "$work/box1.log" >&2
fi
exit "$status"
