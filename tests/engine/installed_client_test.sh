#!/bin/sh
# Installs the engine into a scratch prefix, builds a client from the installed header and
# library only, and uploads a file with it to the box simulator program.
#   installed_client_test.sh BUILD_DIR CXX "CXXFLAGS" SORVEL_BOXSIM CLIENT_SOURCE
set -eu
build=$1 cxx=$2 flags=$3 boxsim=$4 source=$5

scratch=$(mktemp -d)
box=""
cleanup() {
    if [ -n "$box" ]; then kill "$box" 2>/dev/null || true; fi
    rm -rf "$scratch"
}
trap cleanup EXIT

cmake --install "$build" --prefix "$scratch/prefix" --component tarvik >/dev/null
for file in include/Tarvik.h include/SorvelWinTypes.h lib/sorvel/libTarvik_Dll.so \
    lib/sorvel/libsorvel_platform.so; do
    [ -e "$scratch/prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done

# shellcheck disable=SC2086 # the flags are a list
"$cxx" -std=c++17 -Wall -Wextra -Werror $flags -I"$scratch/prefix/include" "$source" \
    -L"$scratch/prefix/lib/sorvel" -lTarvik_Dll -Wl,-rpath,"$scratch/prefix/lib/sorvel" -pthread \
    -o "$scratch/client"

"$scratch/client" --write "$scratch/sample.urt" 40
"$boxsim" --quiet --timeout 60 "$scratch/sample.urt" >"$scratch/box.out" 2>&1 &
box=$!
# The simulator prints the port to open as its first line.
tries=0
until [ -s "$scratch/box.out" ] && head -n 1 "$scratch/box.out" | grep -q '^/dev/'; do
    tries=$((tries + 1))
    [ "$tries" -lt 200 ] || { echo "the simulator gave no port"; cat "$scratch/box.out"; exit 1; }
    sleep 0.05
done
port=$(head -n 1 "$scratch/box.out")

"$scratch/client" "$port" "$scratch/sample.urt"
status=0
wait "$box" || status=$?
box=""
cat "$scratch/box.out"
[ "$status" -eq 0 ] || { echo "the simulator did not get the file intact"; exit 1; }
echo "installed client: upload intact"
