#!/bin/sh
# `make run`: lays a throwaway ship folder under build/ and starts setup.exe from it under Wine in
# a throwaway prefix. With a display the user clicks through it; without one the pages are walked
# (I Agree, Install, Finish) on a virtual display and a picture of each is saved. Either way it
# ends by listing what the install put into the prefix.
# With WINDOWS (a name from tools/machine/windows.list) it walks the shipped PE32 in the emulated machine instead.
# usage: run.sh SCRIPT [WINDOWS]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build
script=$1 windows=${2:-}
machine=$top/tools/machine

# The session the walk runs in, as words: in a prefix here, or on a Windows in the machine, whose
# image is made if need be and held for the whole run (no other run removes it meanwhile).
set -- "$machine/wine_session.sh" --virtual-display "$build/wine-run"
if [ -n "$windows" ]; then
    # A name that is not there is said before the machine boots.
    "$machine/wine_session.sh" --list-windows | cut -f 1 | grep -qx -- "$windows" || {
        echo "run: no $windows in tools/machine/windows.list:" $("$machine/wine_session.sh" --list-windows | cut -f 1) >&2
        exit 2
    }
    target=win32
    set -- "$machine/pe32_machine.py" run "$machine/wine_session.sh" --in-machine "$windows"
    echo "Running build/win32/setup.exe, the shipped PE32, on $windows in the emulated machine."
else
    # PE32 needs a Wine that can run 32-bit code, which a kernel without 32-bit support cannot.
    if /usr/lib/wine/wine --version >/dev/null 2>&1; then target=win32; else target=win64; fi
    echo "Running build/$target/setup.exe ($([ $target = win32 ] && echo "the shipped PE32 build" ||
        echo "the x86-64 build: this machine's Wine cannot run 32-bit programs"))."
fi

ship=$build/ship
python3 "$top/tests/drivers/ship.py" "$build/$target/setup.exe" "$script" "$ship"

# Runs inside the Wine session: $@ starts setup, then what it installed is listed.
report='"$@" || exit
    echo "Installed into the throwaway prefix:"
    cd "$WINEPREFIX/drive_c" && find "Program Files/Quibel32" "Program Files (x86)/Quibel32" \
        "ProgramData/Microsoft/Windows/Start Menu/Programs/Quibel32" -type f 2>/dev/null | sed "s|^|  C:/|"'

if [ -n "${DISPLAY:-}" ] && [ -z "$windows" ]; then
    cd "$ship"
    # wineserver -w waits for the setup engine, which setup.exe starts and does not wait for.
    exec "$machine/wine_session.sh" "$build/wine-run" sh -c "$report" sh sh -c 'wine setup.exe; wineserver -w'
fi

screens=$build/screens
rm -rf "$screens"
mkdir -p "$screens"
"$@" sh -c "$report" sh wine "$build/$target/tests/drivers/walk_pages.exe" "$ship/setup.exe" "$screens"
for picture in "$screens"/*.bmp; do
    convert "$picture" "${picture%.bmp}.png" && rm "$picture"
done
echo "Pictures of each window: $(ls "$screens"/*.png | sed "s|^$top/||" | tr '\n' ' ')"
