#!/bin/sh
# The test platform's one Wine session: runs a command under Wine in a throwaway prefix, on a virtual
# display when asked or when there is no display; the prefix, the display and every Wine process go
# away afterwards. Where it runs is its one parameter: this machine's 64-bit Wine, in a prefix set
# up as a (64-bit) WINDOWS of windows.list or as Wine's own; or, --in-machine, the emulated
# machine's 32-bit Wine, where pe32_machine.py starts it (docs/machine.md).
# With --evidence DIR, a failing COMMAND leaves in DIR its whole output, what changed in the prefix and
# the pictures the drivers take of the screen (QUIBEL_EVIDENCE); a passing one leaves nothing.
# usage: wine_session.sh [--virtual-display] [--windows WINDOWS] [--evidence DIR] PREFIX_DIR COMMAND [ARG...]
#        wine_session.sh [--evidence DIR] --in-machine WINDOWS COMMAND [ARG...]   (in the machine, on a virtual display)
#        wine_session.sh --start-in-machine WINDOWS DIR   (in the machine: a session left running in DIR,
#                                                          which the machine's state keeps for a row)
#        wine_session.sh --make-prefix WINDOWS PREFIX_DIR   (in the machine: the prefixes its image keeps)
#        wine_session.sh --list-windows                      (windows.list's rows, for every other reader)
set -eu
here=$(dirname "$(realpath "$0")")

# windows.list's rows, tab-separated, or those whose field N is VALUE: the one place that knows its
# rules. A line that starts with # is a comment, fields are separated by spaces or tabs, the fourth
# runs to the end.
list_windows() {
    awk -v n="${1:-0}" -v value="${2:-}" 'NF && $1 !~ /^#/ && (!n || $n == value) {
        seen = $0; sub(/^[ \t]*[^ \t]+[ \t]+[^ \t]+[ \t]+[^ \t]+[ \t]+/, "", seen)
        print $1 "\t" $2 "\t" $3 "\t" seen }' "$here/windows.list"
}

virtual= windows= machine= keep= prefix= evidence= started=
while :; do
    case ${1:-} in
    --virtual-display) virtual=1; shift ;;
    --evidence) evidence=$(realpath -m "$2"); shift 2 ;;
    --windows) windows=$2; shift 2 ;;
    --in-machine) windows=$2 machine=1 virtual=1 keep=1; shift 2 ;;
    --start-in-machine) windows=$2 machine=1 virtual=1 keep=1 started=$3; shift 3 ;;
    --make-prefix) windows=$2 keep=1 virtual=1; shift 2 ;;
    --list-windows) list_windows; exit ;;
    *) break ;;
    esac
done
# The prefix's architecture and version, from the list of the Windows the machine keeps.
arch=win64 version=-
if [ -n "$windows" ]; then
    row=$(list_windows 1 "$windows")
    [ -n "$row" ] || { echo "wine_session: no $windows in windows.list:" $(list_windows | cut -f 1) >&2; exit 2; }
    arch=$(echo "$row" | cut -f 2) version=$(echo "$row" | cut -f 3)
fi
[ -n "${DISPLAY:-}" ] || virtual=1
[ -n "$machine" ] || { prefix=$(realpath -m "$1"); shift; }  # Wine takes only an absolute prefix

export WINEDEBUG=-all
# No Mono or Gecko prompts; no menu entries written into the real $HOME when a shortcut is made; a
# crash ends the process instead of waiting in a debugger.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"

xvfb_pid=
work=$(mktemp -d)  # Xvfb's display number, a prefix step's log, in the machine the prefix's copy
cleanup() {
    wineserver -k 2>/dev/null || true
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
    [ -z "$machine" ] || umount -l "$prefix" 2>/dev/null || true  # at once, whatever Wine still holds
    rm -rf "$work"
    [ -n "$keep" ] || rm -rf "$prefix"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

claimed=
if [ -n "$machine" ]; then
    # A session of this Windows that the machine's saved state holds started, if one is left: its
    # processes join the row's own cgroup, which the machine's watch counts.
    for session in /run/sessions/"$windows".*; do
        [ -z "$started" ] && mkdir "$session/claimed" 2>/dev/null || continue
        rm -rf "$work"
        work=$session claimed=1 xvfb_pid=$(cat "$session/xvfb") DISPLAY=$(cat "$session/display"); export DISPLAY
        own=/sys/fs/cgroup$(sed -n 's/^0:://p' /proc/self/cgroup)
        for pid in $(cat "$(cat "$session/cgroup")/cgroup.procs"); do echo "$pid" >"$own/cgroup.procs" 2>/dev/null || true; done
        break
    done
    [ -z "$started" ] || { rm -rf "$work"; work=$started; }
    # The image keeps a prefix for each architecture, made as the list's first Windows of it. Each
    # session works on a copy of its own, which the machine throws away with its other writes, so
    # that sessions side by side share nothing; a Windows other than the first is set as it starts.
    prefix=$work/prefix
    if [ -z "$claimed" ]; then
        mkdir -p "$prefix" "$work/changes" "$work/overlay"
        mount -t overlay overlay -o "lowerdir=/prefixes/$arch,upperdir=$work/changes,workdir=$work/overlay" "$prefix"
    fi
    first=$(list_windows 2 "$arch" | head -n 1 | cut -f 3)
    # Under emulation a page takes 20 s and more to come up where it takes a fraction of a second
    # here: the drivers scale every wait by this.
    export QUIBEL_WAIT_SCALE=${QUIBEL_WAIT_SCALE:-12}
fi
export WINEPREFIX="$prefix"

if [ -n "$virtual" ] && [ -z "$claimed" ]; then
    # Xvfb picks a free display itself and writes its number to fd 3.
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
    xvfb_pid=$!
    for _ in $(seq 300); do [ -s "$work/display" ] && break; sleep 0.1; done
    [ -s "$work/display" ] || { echo "wine_session: Xvfb did not start" >&2; exit 1; }
    DISPLAY=:$(cat "$work/display")
    export DISPLAY
fi

# One step of making the prefix, with Wine's errors kept: a failure names it and shows them. The
# first program in a new prefix waits five minutes for the wineboot that makes the prefix, then
# gives up ("boot event wait timed out"), which a busy host's emulated machine can take: the wait
# goes on here until that wineboot is done, then the step runs again.
prefix_step() {
    until WINEDEBUG=-all,err+all "$@" >"$work/log" 2>&1; do
        status=$?
        ! grep -q "boot event wait timed out" "$work/log" || { echo "wine_session: waiting on for the prefix"; wineserver -w; continue; }
        echo "wine_session: making the $windows prefix failed at \"$*\" (status $status); it printed:" >&2
        sed 's/^/  | /' "$work/log" >&2
        exit 1
    done
}

make_prefix() {
    rm -rf "$prefix"
    mkdir -p "$prefix"
    export WINEARCH=$arch
    prefix_step wineboot -i
    [ "$version" = - ] || prefix_step wine winecfg -v "$version"
    if [ -n "$virtual" ]; then
        # A Wine-drawn desktop: windows get frames without a window manager, and Wine does not wait
        # for a window manager that never answers each time a window is hidden.
        printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\r\n"Desktop"="Default"\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\r\n"Default"="1024x768"\r\n' >"$prefix/desktop.reg"
        prefix_step wine regedit /S "$prefix/desktop.reg"
    fi
    prefix_step wineserver -w
    # Debian's Wine does not find its own TrueType fonts in /usr/share/wine/fonts; without them title
    # bars lack their close box glyph and caption font.
    ln -sf /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
}

# On this machine a session's prefix is a copy of one made once for this Wine, Windows and script,
# kept in the user's cache: making one takes a quarter of a minute here, and the host tests make
# four. Making one removes those of another Wine or script, and a stopped run's half-made one. A
# copy is made under the lock, so that nothing is removed while it is read.
host_prefix() {
    cache=${XDG_CACHE_HOME:-$HOME/.cache}/quibel-setup/wine-prefixes
    tools=$({ wine --version; grep -v '^ *#' "$(realpath "$0")"; } | sha256sum | cut -c 1-16)
    made=$cache/$tools/$arch-$version-${virtual:-shown}
    mkdir -p "$cache/$tools"
    exec 9>"$cache/lock"
    flock 9
    if [ ! -d "$made" ]; then
        find "$cache" -mindepth 1 -maxdepth 1 -type d ! -name "$tools" -exec rm -rf {} +
        (prefix=$made.new WINEPREFIX=$made.new; make_prefix) && mv "$made.new" "$made" || exit 1
    fi
    rm -rf "$prefix"
    cp -a --reflink=auto "$made" "$prefix"
    exec 9>&-
}

if [ -z "$keep" ]; then host_prefix; elif [ ! -d "$prefix/drive_c" ]; then make_prefix; fi
if [ -n "$machine" ] && [ -z "$claimed" ]; then
    # Wine's start takes a quarter of a minute here: the server stays up for the command, or for the
    # row that takes a started session.
    [ -z "$started" ] && [ "$version" = "$first" ] || wineserver -p
    [ "$version" = "$first" ] || prefix_step wine winecfg -v "$version"
fi
if [ -n "$started" ]; then
    # What a row's first program would start: the system's processes and the desktop, left running
    # for the row that takes the session.
    wine explorer.exe /desktop >/dev/null 2>&1 &
    echo "/sys/fs/cgroup$(sed -n 's/^0:://p' /proc/self/cgroup)" >"$work/cgroup"
    echo "$xvfb_pid" >"$work/xvfb"; echo "$DISPLAY" >"$work/display"
    trap - EXIT
    exit 0
fi
[ $# -gt 0 ] || exit 0
[ -n "$evidence" ] || { "$@"; exit; }
rm -rf "$evidence"
mkdir -p "$evidence"
# A file's time comes from a clock that moves a tick at a time (10 ms at most): in the mark's own
# tick (a quarter of the time here) what the command made was not newer than the mark; two ticks on, it is.
touch "$work/start"
sleep 0.02
export QUIBEL_EVIDENCE="$evidence"
# Wine's processes outlive the command holding its output: they go with it, which also writes out
# the registry.
{ status=0; "$@" 2>&1 || status=$?; echo $status >"$work/status"; wineserver -k 2>/dev/null || true; } |
    tee "$evidence/output.txt"
status=$(cat "$work/status")
[ "$status" -ne 0 ] || { rm -rf "$evidence"; exit 0; }
{
    echo "What changed in C: while the command ran:"
    (cd "$WINEPREFIX/drive_c" && find . -newer "$work/start" | sort) || true
    echo "The registry's keys that name Quibel32:"
    grep -h -i '^\[.*quibel' "$WINEPREFIX"/*.reg || true
} >"$evidence/prefix.txt" 2>&1
echo "wine_session: the failure's evidence is in $evidence: output.txt, prefix.txt and a picture of the screen at each failing case"
exit "$status"
