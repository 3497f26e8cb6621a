#!/bin/sh
# Lays a ship folder for trying setup here: setup.exe and quibel43.inf with a stand-in for each
# product file the script installs. (`make dist` lays the real release: tools/release.py.)
# usage: ship.sh SETUP_EXE OUT_DIR
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
setup=$1 out=$2

files=$(python3 "$top/tools/release.py" files "$top/quibel43.inf")
rm -rf "$out"
mkdir -p "$out"
cp "$setup" "$top/quibel43.inf" "$out/"
for file in $files; do
    printf 'Stand-in for %s, made by the build of setup.exe: not the product file.\r\n' "$file" >"$out/$file"
done
