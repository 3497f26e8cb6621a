#!/bin/sh
# Runs COMMAND in a Wine session with each desktop process held back on arrival for half as long
# again as Wine's own wait for it (10 s), as a starved emulated machine holds it.
# usage: stall_desktop.sh COMMAND [ARG...]
while :; do
    for cmdline in $(grep -lsxz '/deskto[p]' /proc/[0-9]*/cmdline); do
        pid=${cmdline#/proc/} pid=${pid%/cmdline}
        case " ${held:-} " in *" $pid "*) continue ;; esac
        held="${held:-} $pid"
        kill -STOP "$pid" && { sleep 15; kill -CONT "$pid"; } &
    done
    sleep 0.05
done >/dev/null 2>&1 &
watcher=$!
"$@"
status=$?
kill "$watcher"
exit $status
