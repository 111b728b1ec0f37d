#!/usr/bin/env bash
# A Windows client of Tarvik_Dll.dll built from nothing but the installed header and import
# library uploads a file under Wine to the box simulator, through a COM port of the prefix.
#   installed_client_test.sh BUILD_DIR CXX SORVEL_BOXSIM CLIENT_SOURCE WINE_RUN
# WINEPREFIX (the build's prefix) must be set.
set -euo pipefail
build=$1 cxx=$2 boxsim=$3 source=$4 wine_run=$5

scratch=$(mktemp -d)
box=""
com="com$((100 + $$ % 150))"
link="$WINEPREFIX/dosdevices/$com"
cleanup() {
    if [ -n "$box" ]; then kill "$box" 2>/dev/null || true; fi
    rm -f "$link"
    rm -rf "$scratch"
}
trap cleanup EXIT

cmake --install "$build" --prefix "$scratch/prefix" --component tarvik >/dev/null
for file in include/Tarvik.h include/SorvelWinTypes.h Tarvik_Dll.dll sorvel_platform.dll \
    lib/libTarvik_Dll.dll.a; do
    [ -e "$scratch/prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done

# The client lies next to the DLLs, where Windows looks for them first.
"$cxx" -std=c++17 -Wall -Wextra -Werror -static -I"$scratch/prefix/include" "$source" \
    "$scratch/prefix/lib/libTarvik_Dll.dll.a" -o "$scratch/prefix/client.exe"

# The sample as the Windows program names it: drive Z: is this machine's root.
sample="Z:${scratch//\//\\}\\sample.urt"
"$wine_run" "$scratch/prefix/client.exe" --write "$sample" 40
# The box keeps its line open after the file (--repeat) and is stopped once the client has
# ended: a box that hung up the moment it had the last record could end the upload as a lost
# line, the engine not knowing whether the record had left the computer whole.
"$boxsim" --quiet --repeat --timeout 60 --link "$link" "$scratch/sample.urt" >"$scratch/box.out" 2>&1 &
box=$!
tries=0
until [ -L "$link" ] && [ -e "$link" ]; do
    tries=$((tries + 1))
    [ "$tries" -lt 200 ] || { echo "the simulator gave no port"; cat "$scratch/box.out"; exit 1; }
    sleep 0.05
done

"$wine_run" "$scratch/prefix/client.exe" "${com^^}" "$sample"
kill -INT "$box"
wait "$box" || true
box=""
cat "$scratch/box.out"
grep -q '^box: received 1 of 1 files intact' "$scratch/box.out" ||
    { echo "the simulator did not get the file intact"; exit 1; }
echo "installed Windows client: upload intact"
