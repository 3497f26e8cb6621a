#!/bin/sh
# The benchmark, `make bench`: the size of both setup.exe files with a line per section, then, under
# Wine on a virtual display, the 64-bit build's start-up time and peak working set against the floor
# program.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$top/build

for target in win32:i686 win64:x86_64; do
    file=$build/${target%:*}/setup.exe
    echo "build/${target%:*}/setup.exe: $(stat -c %s "$file") bytes"
    "${target#*:}-w64-mingw32-objdump" -h "$file" | while read -r index name size _; do
        case $index in [0-9]*) printf '  %-8s %5d bytes\n' "$name" "$((0x$size))" ;; esac
    done
done
tools=$build/win64/tools/bench
echo "build/win64/tools/bench/floor.exe: $(stat -c %s "$tools/floor.exe") bytes"

# The second floor also imports shell32, as setup.exe must: the gap between the two floors is
# the platform's cost of loading shell32, the rest is setup's own.
"$top/tools/machine/wine_session.sh" --virtual-display "$build/wine-bench" wine "$tools/startup_bench.exe" 51 \
    "$build/win64/setup.exe" "$tools/floor.exe" "$tools/floor_shell32.exe"
