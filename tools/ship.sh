#!/bin/sh
# Lays a ship folder: setup.exe and quibel43.inf, plus either stand-ins for the product's files
# (--stand-ins, for trying setup here) or, for a release, a note of the files to put beside them.
# The product's files are the ones the script lists in [SourceDisksFiles].
# usage: ship.sh SETUP_EXE OUT_DIR [--stand-ins]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
setup=$1 out=$2 stand_ins=${3:-}

files=$(awk '/^\[/ { section = $0; next }
    section == "[SourceDisksFiles]" && /=/ && !/^quibel43\.inf=/ { sub(/ *=.*/, ""); print }' "$top/quibel43.inf")
rm -rf "$out"
mkdir -p "$out"
cp "$setup" "$top/quibel43.inf" "$out/"
if [ "$stand_ins" = --stand-ins ]; then
    for file in $files; do
        printf 'Stand-in for %s, made by the build of setup.exe: not the product file.\r\n' "$file" >"$out/$file"
    done
else
    {
        printf 'Quibel32 4.3 release folder\r\n\r\n'
        printf 'Put these %d product files beside setup.exe and quibel43.inf before shipping;\r\n' \
            "$(echo "$files" | wc -l)"
        printf 'quibel43.inf copies them into the program folder:\r\n\r\n'
        for file in $files; do printf '  %s\r\n' "$file"; done
    } >"$out/PACKAGING.txt"
fi
