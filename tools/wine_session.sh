#!/bin/sh
# Runs a command under Wine in a fresh throwaway prefix, on a virtual display when asked or when
# there is no display; the prefix, the display and every Wine process go away afterwards.
# usage: wine_session.sh [--virtual-display] PREFIX_DIR COMMAND [ARG...]
set -eu

virtual=
if [ "${1:-}" = --virtual-display ]; then virtual=1; shift; fi
[ -n "${DISPLAY:-}" ] || virtual=1
prefix=$(realpath -m "$1"); shift  # Wine takes only an absolute prefix

export WINEPREFIX="$prefix" WINEDEBUG=-all
# No Mono or Gecko prompts; no menu entries written into the real $HOME when a shortcut is made.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

xvfb_pid=
cleanup() {
    wineserver -k 2>/dev/null || true
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$prefix"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

rm -rf "$prefix"
mkdir -p "$prefix"
if [ -n "$virtual" ]; then
    # Xvfb picks a free display itself and writes its number to fd 3.
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$prefix/display" 2>/dev/null &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$prefix/display" ] && break; sleep 0.1; done
    [ -s "$prefix/display" ] || { echo "wine_session: Xvfb did not start" >&2; exit 1; }
    DISPLAY=:$(cat "$prefix/display")
    export DISPLAY
fi

wineboot -i >/dev/null 2>&1
if [ -n "$virtual" ]; then
    # A Wine-drawn desktop: windows get frames without a window manager, and Wine does not wait
    # for a window manager that never answers each time a window is hidden.
    printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\r\n"Desktop"="Default"\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\r\n"Default"="1024x768"\r\n' >"$prefix/desktop.reg"
    wine regedit /S "$prefix/desktop.reg"
fi
wineserver -w
# Debian's Wine does not find its own TrueType fonts in /usr/share/wine/fonts; without them title bars lack
# their close box glyph and caption font.
ln -sf /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true

"$@"
