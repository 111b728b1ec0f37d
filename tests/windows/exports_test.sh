#!/usr/bin/env bash
# Tarvik_Dll.dll exports CTarvik's members and nothing else: every name in its export table is
# one of the class's (mangled _ZN7CTarvik...), and the public calls are all there.
set -euo pipefail
objdump="$1"
dll="$2"
names=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\] //p')
[ -n "$names" ] || { echo "no export table in $dll"; exit 1; }
echo "$names"
others=$(grep -v '^_ZN7CTarvik' <<<"$names" || true)
if [ -n "$others" ]; then
    echo "exported besides CTarvik:"; echo "$others"; exit 1
fi
for member in 7ConnectEv 10DisconnectEv 13UploadURTFileEPc 19CancelUploadProcessEv \
    16GetLastErrorTextEv 20GetLastRecordResendsEv 18GetLastPortFailureEv 9TraceNoteEPKc; do
    grep -qx "_ZN7CTarvik$member" <<<"$names" || { echo "missing CTarvik::$member"; exit 1; }
done
