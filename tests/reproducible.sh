#!/bin/sh
# Builds setup.exe for both targets twice, from clean copies of the sources in different folders
# at different times, and fails unless each target's two files are byte for byte the same.
# usage: reproducible.sh SOURCE_DIR WORK_DIR
set -eu
source=$1 work=$2
rm -rf "$work"
for tree in a "the second tree"; do
    mkdir -p "$work/$tree"
    tar -C "$source" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/$tree" -xf -
    for target in i686 x86_64; do
        cmake -S "$work/$tree" -B "$work/$tree/$target" \
            -DCMAKE_TOOLCHAIN_FILE="$work/$tree/cmake/mingw-$target.cmake" >/dev/null
        cmake --build "$work/$tree/$target" --target setup >/dev/null
    done
    sleep 1  # a timestamp in the file would now differ
done
status=0
for target in i686 x86_64; do
    if cmp "$work/a/$target/setup.exe" "$work/the second tree/$target/setup.exe"; then
        echo "ok   $target: two builds are the same"
    else
        echo "FAIL $target: expected the same bytes from both builds"
        status=1
    fi
done
rm -rf "$work"
exit $status
