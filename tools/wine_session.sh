#!/bin/sh
# Runs a command under Wine in a throwaway prefix, on a virtual display when asked or when there
# is no display; the prefix, the display and every Wine process go away afterwards.
# Where it runs is its one parameter: this machine's 64-bit Wine, or with --pe32 WINDOWS the
# emulated machine's 32-bit Wine (tools/pe32_machine.sh) in a prefix that is WINDOWS, one of
# tools/windows.list.
# usage: wine_session.sh [--virtual-display] [--pe32 WINDOWS] PREFIX_DIR COMMAND [ARG...]
#        wine_session.sh --make-prefix WINDOWS PREFIX_DIR   (the prefixes the machine's image keeps)
set -eu
self=$(realpath "$0")

virtual= windows= keep=
while :; do
    case ${1:-} in
    --virtual-display) virtual=1; shift ;;
    --pe32) windows=$2; shift 2 ;;
    --make-prefix) windows=$2 keep=1 virtual=1; shift 2 ;;
    *) break ;;
    esac
done
# The prefix's architecture and version, from the list of the Windows the machine keeps.
arch=win64 version=-
if [ -n "$windows" ]; then
    row=$(awk -v name="$windows" '$1 == name { print $2, $3 }' "$(dirname "$self")/windows.list")
    [ -n "$row" ] || { echo "wine_session: no such Windows: $windows (tools/windows.list:" \
        "$(awk '/^[a-z]/ { printf "%s ", $1 }' "$(dirname "$self")/windows.list"))" >&2; exit 2; }
    arch=${row% *} version=${row#* }
fi
if [ -n "$windows" ] && [ -z "$keep" ] && [ -z "${QUIBEL_PE32_MACHINE:-}" ]; then
    exec "$(dirname "$self")/pe32_machine.sh" run "$self" ${virtual:+--virtual-display} --pe32 "$windows" "$@"
fi
[ -n "${DISPLAY:-}" ] || virtual=1
prefix=$(realpath -m "$1"); shift  # Wine takes only an absolute prefix
if [ -n "${QUIBEL_PE32_MACHINE:-}" ] && [ -z "$keep" ]; then
    # The machine's writes are thrown away after the run, so the kept prefix is used as it is.
    prefix=/prefixes/$windows keep=1 virtual=1
    # Under emulation a page takes 20 s and more to come up where it takes a fraction of a second
    # here: the drivers scale every wait by this.
    export QUIBEL_WAIT_SCALE=${QUIBEL_WAIT_SCALE:-12}
fi

export WINEPREFIX="$prefix" WINEDEBUG=-all
# No Mono or Gecko prompts; no menu entries written into the real $HOME when a shortcut is made; a
# crash ends the process instead of waiting in a debugger.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"

xvfb_pid=
display_file=$(mktemp)
cleanup() {
    wineserver -k 2>/dev/null || true
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
    rm -f "$display_file"
    [ -n "$keep" ] || rm -rf "$prefix"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -n "$virtual" ]; then
    # Xvfb picks a free display itself and writes its number to fd 3.
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
    xvfb_pid=$!
    for _ in $(seq 300); do [ -s "$display_file" ] && break; sleep 0.1; done
    [ -s "$display_file" ] || { echo "wine_session: Xvfb did not start" >&2; exit 1; }
    DISPLAY=:$(cat "$display_file")
    export DISPLAY
fi

make_prefix() {
    rm -rf "$prefix"
    mkdir -p "$prefix"
    export WINEARCH=$arch
    wineboot -i >/dev/null 2>&1
    [ "$version" = - ] || wine winecfg -v "$version"
    if [ -n "$virtual" ]; then
        # A Wine-drawn desktop: windows get frames without a window manager, and Wine does not wait
        # for a window manager that never answers each time a window is hidden.
        printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\r\n"Desktop"="Default"\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\r\n"Default"="1024x768"\r\n' >"$prefix/desktop.reg"
        wine regedit /S "$prefix/desktop.reg"
    fi
    wineserver -w
    # Debian's Wine does not find its own TrueType fonts in /usr/share/wine/fonts; without them title
    # bars lack their close box glyph and caption font.
    ln -sf /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
}

[ -d "$prefix/drive_c" ] && [ -n "$keep" ] || make_prefix
[ $# -eq 0 ] || "$@"
