#!/usr/bin/env python3
"""The test platform's way into the emulated machine that runs the shipped PE32: Debian 12's own
kernel (which, unlike the build machines' kernel, runs 32-bit code) with 32-bit Wine, under QEMU
without KVM. Needs no root. Inside, each row runs wine_session.sh --in-machine; what the machine
and the drivers tell each other is in docs/machine.md. The images live in the user's cache, BASE:
  lock       held while an image is made or anything is removed
  KEY/       a whole image, marked so by KEY/complete, written last; each run holds it (a shared
             lock on the folder) for its whole length
  KEY/state-S/  the machine saved with its Wine sessions started, by the QEMU that S names: a disk
             over the image's and the memory, which a run restores rather than boots
  KEY.new/   an image being made, or what a stopped run left of one; *.gone, one being removed
  slots/N    one for each machine this host runs at once
"""
import argparse
import contextlib
import ctypes
import fcntl
import hashlib
import inspect
import itertools
import json
import os
import re
import shlex
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
BASE = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "quibel-setup", "pe32-machine")
GUEST_INIT = os.path.join(HERE, "pe32_init.sh")
SESSION = os.path.join(HERE, "wine_session.sh")

# What goes into the image. The guest stays Debian 12, the project's test platform, whatever the
# host runs; only the mirror is the host's.
SUITE = "bookworm"
PACKAGES = "linux-image-amd64,initramfs-tools,xvfb,xauth,procps,wine,wine32,wine64,libwine:i386,fonts-wine"
# Nothing the tests read: documentation, manuals and translations stay out.
TRIM = ["--dpkgopt=path-exclude=/usr/share/%s/*" % folder for folder in ("doc", "man", "info", "locale")]
# Of the kernel's modules (390 MB), those the guest loads (pe32_init.sh: its disk, the shares,
# overlay) and what they need, and no other driver, network or sound: 35 MB.
TRIM += ["--dpkgopt=path-%s=/lib/modules/*/kernel/%s" % rule for rule in (
    ("exclude", "drivers/*"), ("include", "drivers/virtio/*"), ("include", "drivers/block/virtio_blk.ko"),
    ("exclude", "net/*"), ("include", "net/9p/*"), ("exclude", "sound/*"))]
# The guest's initramfs holds what mounts its disk and no more: Debian's takes every driver, and it
# was made twice as the packages went in, two thirds of mmdebstrap's time here.
INITRAMFS = ['--setup-hook=mkdir -p "$1/etc/initramfs-tools/conf.d" "$1/usr/share/initramfs-tools/modules.d"',
             '--setup-hook=printf "MODULES=list\\nRESUME=none\\n" >"$1/etc/initramfs-tools/conf.d/pe32"',
             '--setup-hook=printf "virtio_pci\\nvirtio_blk\\next4\\n" >"$1/usr/share/initramfs-tools/modules.d/pe32"']
DISK_SIZE = "8G"  # the guest's root file system; the image holds only what is used of it
COMPRESS = ["-c", "-W", "-O", "qcow2", "-o", "compression_type=zstd"]
# Making the image took 3.1 GB at its peak here (the guest's root as a folder and as an archive,
# then as a folder and a disk, then the disk and the compressed image); it keeps 553 MB.
NEED_MB = 4000
# Each machine takes two threads and 2 GB; no more run at once than this host holds.
MACHINE_THREADS, MACHINE_MB = 2, 2048
# A hang is silence, not slowness. The guest's job beats every BEAT s: its uptime and each row's
# processor time so far, from a cgroup of the row's own (everything the row starts, Wine's server
# and the display included). The machine says, at its end, the longest silences it saw.
BEAT = 1
# A row is hung when it has used no processor time and printed nothing for ROW_SILENCE s of the
# guest's own time, counted in its beats: a host that starves the machine does not count against a
# row, however slowly it goes. A working row's waits poll, and no row here was ever quiet for a
# whole beat, alone or with two busy loops on the host: sixty beats is far past any jitter, and
# under a tenth of the least budget a row declares (an install row's, 2160 s in the machine).
ROW_SILENCE = 60 * BEAT
# The guest as a whole is hung when neither a beat nor its console has moved for GUEST_SILENCE s of
# the host's time: at most 10 s here, and 20 s with two busy loops on the host (the boot, before the
# first beat); five times that.
GUEST_SILENCE = 5 * 20
# What a row may take beyond the waits its drivers declare: its start before a driver declares and
# the power-off. A boot reached its job, Wine started, in 35 s here; the rows took 3.2 times as long
# with two busy loops on the host (530 s against 167 s): 112 s, to the next minute.
BUDGET_SPARE = 120
# Making one prefix took up to 150 s here, and 610 s with both host cores kept busy; twice that.
PREFIX_BUDGET = 1200
# Sessions that the saved state holds started: as many as the tests run rows on the list's first
# Windows (the pages and the install), one on each other; a row beyond them starts its own, as in a boot.
STARTED = 2
# Started sessions have settled when they use less than SETTLED of a processor for SETTLED_FOR s.
SETTLED, SETTLED_FOR = 0.5, 3
# Booting the machine and starting them all, before the state is saved: 70 s here. A prefix's budget,
# which allows for a host whose cores are busy, is far past it.
STATE_BUDGET = PREFIX_BUDGET
STOP_GRACE = 30  # a stopped step's own clean-up (mmdebstrap's) took under 3 s here
# The host's variables a row takes into the guest: the drivers' choice of cases (docs/machine.md).
PASSED = ("E2E_CASES",)


def say(text):
    print("pe32_machine: " + text, flush=True)


def fail(*words):
    sys.exit("pe32_machine: " + " ".join(words))


def windows_rows():
    """windows.list as the session script reads it: name, architecture, version, what is seen."""
    listed = subprocess.run(["sh", SESSION, "--list-windows"], capture_output=True, text=True, check=True).stdout
    return [row.split("\t") for row in listed.splitlines()]


def key():
    """The image's name: a digest of what goes into it, not of how these files word it."""
    def code(lines):
        return [line for line in lines if line.strip() and not line.lstrip().startswith("#")]
    parts = [SUITE, PACKAGES, *TRIM, *INITRAMFS, *code(strip_hook().splitlines(True)), DISK_SIZE, *COMPRESS,
             *code(open(GUEST_INIT)), *code(open(SESSION)),
             *("\t".join(row[:3]) for row in windows_rows())]
    return hashlib.sha256("\n".join(parts).encode()).hexdigest()[:16]


def start(command, **options):
    """A child in a process group of its own, which a stop signals whole, killed if this script dies."""
    options.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.Popen(command, stderr=subprocess.STDOUT, process_group=0,
                            preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL), **options)  # PR_SET_PDEATHSIG


def end(child):
    """Stops a child with a TERM to its group (mmdebstrap heeds one only when its children get it
    too), then with a KILL if that has not ended it within STOP_GRACE."""
    for signum in (signal.SIGTERM, signal.SIGKILL):
        if child.poll() is None:
            os.killpg(child.pid, signum)
            with contextlib.suppress(subprocess.TimeoutExpired):
                child.wait(STOP_GRACE)


def step(what, command, log, **options):
    """Runs one step of making the image, its output in LOG, and says its time; a failure names the
    step and shows the end of what it printed."""
    started = time.time()
    with open(log, "ab") as out:
        child = start(command, stdout=out, **options)
        try:
            status = child.wait()
        finally:
            end(child)
    if status:
        sys.stderr.writelines("  | " + line for line in open(log, errors="replace").readlines()[-25:])
        fail("%s failed (status %d); the end of what it printed is above" % (what, status))
    say("time: %s: %.0f s" % (what, time.time() - started))


def cache_lock():
    """The lock that making and removing hold; a second run waits for the first."""
    os.makedirs(BASE, exist_ok=True)
    lock = open(os.path.join(BASE, "lock"), "a")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        say("waiting for another run that is making an image in " + BASE)
        fcntl.flock(lock, fcntl.LOCK_EX)
    return lock


def hold_image(folder):
    """A descriptor that holds the whole image in FOLDER (a shared lock on the folder, which no
    removal takes while it is open), or None when there is no whole image there."""
    with contextlib.suppress(FileNotFoundError):
        hold = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        fcntl.flock(hold, fcntl.LOCK_SH)
        # The folder may have been moved aside for removal while this waited for the lock.
        if os.path.samestat(os.fstat(hold), os.stat(folder)) and os.path.isfile(os.path.join(folder, "complete")):
            return hold
        os.close(hold)


def remove_entry(path):
    """Moves a cache entry aside, then removes it: whenever this stops, what is left is a `.gone`
    entry, which no run takes for an image and the next removal takes away."""
    gone = path if path.endswith(".gone") else "%s.%d.gone" % (path, os.getpid())
    os.rename(path, gone)
    # A killed mmdebstrap (as root) may leave mounts; /proc/mounts escapes a space in a path as \040.
    mounts = [re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), line.split()[1]) for line in open("/proc/mounts")]
    for mount in sorted((m for m in mounts if m.startswith(gone + "/")), reverse=True):
        subprocess.run(["umount", "-l", mount])
    subprocess.run(["chmod", "-R", "u+w", gone], stderr=subprocess.DEVNULL)
    try:
        shutil.rmtree(gone)
    except PermissionError:  # a stopped mmdebstrap's files, owned by the user's subordinate ids
        subprocess.run(["mmdebstrap", "--unshare-helper", "rm", "-rf", gone], check=True)


def remove_half_made():
    """Removes, under the cache lock, what stopped runs left: half-made images and half-removed entries."""
    for name in os.listdir(BASE):
        if name.endswith((".new", ".gone")):
            remove_entry(os.path.join(BASE, name))


def remove_unused_images(keep):
    """Removes, under the cache lock, the images of other versions that no run holds."""
    for name in set(os.listdir(BASE)) - {"lock", "slots", keep}:
        entry = os.open(os.path.join(BASE, name), os.O_RDONLY | os.O_DIRECTORY)
        with contextlib.suppress(BlockingIOError):  # a run holds it
            fcntl.flock(entry, fcntl.LOCK_EX | fcntl.LOCK_NB)
            say("removing an image no run uses: " + os.path.join(BASE, name))
            remove_entry(os.path.join(BASE, name))
        os.close(entry)


def take_slot():
    """Holds one of the slots that bound how many machines run at once on this host, across every
    run and checkout of the user; waits for one when all are taken."""
    available_mb = next(int(line.split()[1]) // 1024 for line in open("/proc/meminfo") if line.startswith("MemAvailable:"))
    slots = max(1, min(os.cpu_count() // MACHINE_THREADS, available_mb // MACHINE_MB))
    os.makedirs(os.path.join(BASE, "slots"), exist_ok=True)
    for waited in itertools.count():
        for n in range(1, slots + 1):
            slot = open(os.path.join(BASE, "slots", str(n)), "a")
            try:
                fcntl.flock(slot, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return slot
            except BlockingIOError:
                slot.close()
        if not waited:
            say("waiting for a machine: all %d this host holds are running" % slots)
        time.sleep(1)


def job_script(rows):
    """The guest's job: each row in a cgroup of its own, side by side, and the beat beside them."""
    cgroups = ["/sys/fs/cgroup/row.%d" % n for n in range(len(rows))]
    job = "mkdir %s\n" % " ".join(cgroups)
    job += "".join('{ { echo 0 2>/dev/null >%s/cgroup.procs; export QUIBEL_BUDGET_FILE=/io/budget.%d\n%s\n} </dev/null >/io/row.%d 2>&1; '
                   'echo $? >/io/status.%d; } &\nrows="$rows $!"\n' % (cgroup, n, commands, n, n)
                   for n, (cgroup, (_, commands)) in enumerate(zip(cgroups, rows)))
    # The shell's own commands, which start no process: a beat costs the guest one sleep. A row's
    # processor time is "-" where the guest cannot tell it; the beat's last line marks it whole.
    usage = "".join('u=-; while read k v; do [ "$k" = usage_usec ] && u=$v; done <%s/cpu.stat; echo $u; ' % cgroup
                    for cgroup in cgroups)
    job += "while :; do { read up idle </proc/uptime; echo $up; %secho beat; } 2>/dev/null >/io/beat; sleep %d; done &\n" \
        % (usage, BEAT)
    # A restored machine's started sessions that no row took: a row that should have taken one and
    # started its own passes all the same, slower, so the machine says it.
    return job + "beat=$!\nwait $rows\nkill $beat\n" \
        'for session in /run/sessions/*; do [ ! -d "$session" ] || [ -d "$session/claimed" ] || echo "${session##*/}"; done >/io/untaken\n'


def watch(io, console, rows, seen):
    """Why the machine counts as hung, or None. SEEN is what the last look saw: when the guest last
    moved, its last beat, and each row's processor time, output and quiet stretch, in guest seconds."""
    now, beat = time.time(), None
    with contextlib.suppress(OSError, ValueError):
        lines = open(os.path.join(io, "beat")).read().split("\n")
        if lines[1 + len(rows):2 + len(rows)] == ["beat"]:  # a beat read whole
            beat = (float(lines[0]), lines[1:1 + len(rows)])
    moved = (beat, os.fstat(console.fileno()).st_size)
    if moved != seen.get("moved"):
        seen.update(moved=moved, at=now)
    seen["guest"] = max(seen.get("guest", 0), now - seen["at"])
    if now - seen["at"] > GUEST_SILENCE:
        return "has shown no beat and printed nothing for %d s" % GUEST_SILENCE
    for n, (name, _) in enumerate(rows):
        row = "row '%s'" % name if name else "job"
        if os.path.exists(os.path.join(io, "status.%d" % n)):
            continue
        with contextlib.suppress(OSError, ValueError):
            with open(os.path.join(io, "budget.%d" % n)) as declared:
                budget = int(re.sub(r"\D", "", declared.read()))
                if now >= os.fstat(declared.fileno()).st_mtime + budget + BUDGET_SPARE:
                    return "%s did not end within its budget of %d s and %d s to spare" % (row, budget, BUDGET_SPARE)
        if beat is None:
            continue
        work = (beat[1][n], os.path.getsize(os.path.join(io, "row.%d" % n)))
        last = seen.setdefault(n, {"work": work, "since": beat[0], "quiet": 0})
        if work != last["work"] or work[0] == "-":
            last.update(work=work, since=beat[0])
        last["quiet"] = max(last["quiet"], beat[0] - last["since"])
        if beat[0] - last["since"] > ROW_SILENCE:
            return "%s has used no processor time and printed nothing for %d s" % (row, ROW_SILENCE)


def machine_command(image, disk, disk_format, snapshot, io, top):
    """QEMU's command for the machine booted from IMAGE's kernel and DISK, with the folders IO and TOP
    shared; a saved state is restored into the same command, whatever folders it shares."""
    # TCG's own processor, and no mitigations in a guest that runs only the tests: with those that
    # Debian's kernel takes for an Intel one (page tables switched at each system call, which TCG
    # makes dear, and Wine makes many) an install row took 75 s here against 45 s.
    command = ["qemu-system-x86_64", "-accel", "tcg,thread=multi", "-cpu", "qemu64",
               "-m", str(MACHINE_MB), "-smp", str(MACHINE_THREADS), "-no-reboot", "-nic", "none",
               # No floppy, CD or display for the kernel to probe: the disk, the shares and the console.
               "-nodefaults", "-display", "none",
               "-kernel", os.path.join(image, "vmlinuz"), "-initrd", os.path.join(image, "initrd.img"),
               # In QEMU's options a comma within a value is written twice.
               "-drive", "file=%s,format=%s,if=virtio,snapshot=%s" % (disk.replace(",", ",,"), disk_format, snapshot),
               # TCG's time stamp counter is one for both processors and stands still while the machine is
               # stopped or saved, but the kernel finds it unsynchronized and falls back to the emulated HPET,
               # each read of which is a device access; Wine reads the clock often. The rows took a tenth
               # less processor time with the counter.
               "-append", "root=/dev/vda rw console=ttyS0 quiet panic=-1 mitigations=off tsc=reliable init=/vminit",
               "-qmp", "unix:%s,server=on,wait=off" % os.path.join(io, "qmp").replace(",", ",,")]
    for tag, path in (("io", io), ("top", top)):
        command += ["-virtfs", "local,path=%s,mount_tag=%s,security_model=none,id=%s" % (path.replace(",", ",,"), tag, tag)]
    return command


def qmp(io, *commands):
    """Sends COMMANDS, (name, arguments) pairs, to the machine's monitor in IO; each one's answer, or
    None when the monitor is not there (yet, or any more)."""
    answers = []
    with contextlib.suppress(OSError, ValueError), socket.socket(socket.AF_UNIX) as monitor:
        monitor.connect(os.path.join(io, "qmp"))
        replies = monitor.makefile()
        for name, arguments in (("qmp_capabilities", {}),) + commands:
            monitor.sendall(json.dumps({"execute": name, "arguments": arguments}).encode() + b"\n")
            reply = {}
            while "return" not in reply and "error" not in reply:  # the greeting and events go by
                reply = json.loads(replies.readline())
            answers.append(reply.get("return", reply.get("error")))
        return answers[1:]


def restored(machine, io):
    """Lets the machine go on from its saved state once it is loaded, its clock set to the host's
    (it stood still while saved); False when it could not be loaded."""
    status = None
    while machine.poll() is None and status in (None, "inmigrate"):
        time.sleep(0.2)
        status = (qmp(io, ("query-status", {})) or [{}])[0].get("status")
    if machine.poll() is not None or not qmp(io, ("cont", {})):
        return False
    with contextlib.suppress(BrokenPipeError):  # a machine that ends here is the watch's to report
        machine.stdin.write(b"%.3f\n" % time.time())
        machine.stdin.flush()
    return True


def boot(image, disk, disk_format, snapshot, rows, console=False, state=None):
    """Runs ROWS, (name, shell commands) pairs, side by side in the machine booted from IMAGE's kernel
    and DISK with this project shared at its own path, or restored from STATE. Streams their output,
    each line after its row's name, and returns each row's exit status and the seconds it took; None
    when STATE could not be restored. With CONSOLE the guest's console is this terminal, for a row
    that talks on it, and nothing is watched: a person is."""
    with tempfile.TemporaryDirectory() as io, take_slot():
        for name, text in (("top", TOP), ("job", job_script(rows))):
            with open(os.path.join(io, name), "w") as f:
                f.write(text)
        command = machine_command(image, disk, disk_format, snapshot, io, TOP)
        if state:
            command += ["-incoming", "exec:cat " + shlex.quote(os.path.join(state, "memory"))]
        # The rows' output comes through the shared folder as it is written; the console (firmware,
        # kernel) is kept for a hang's report.
        outputs = [open(os.path.join(io, name), "w+b") for name in ["output"] + ["row.%d" % n for n in range(len(rows))]]
        heads, ended = [b""] + [b"[%s] " % name.encode() if name else b"" for name, _ in rows], {}
        if console:
            machine = start(command + ["-chardev", "socket,id=console,server=on,wait=off,path=" + os.path.join(io, "console"),
                                       "-serial", "chardev:console"])
            try:
                converse(machine, io)
            finally:
                end(machine)
            if os.path.exists(os.path.join(io, "status")):
                return [(int(open(os.path.join(io, "status.0")).read()), 0)]
            fail("the machine ended before its job did")
        with open(os.path.join(io, "console.log"), "w+b") as console:
            machine = start(command + ["-serial", "stdio"], stdout=console, stdin=subprocess.PIPE if state else subprocess.DEVNULL)
            started, hung, seen, lines, ready = time.time(), None, {}, [], None
            try:
                if state and not restored(machine, io):
                    console.seek(0)
                    say("the saved state in %s could not be restored; QEMU said:\n%s" % (state, "".join(
                        "  | " + line for line in console.read().decode(errors="replace").splitlines(True)[-5:])))
                    return None
                while machine.poll() is None and not hung:
                    stream(outputs, heads, lines)
                    for n in range(len(rows)):
                        if n not in ended and os.path.exists(os.path.join(io, "status.%d" % n)):
                            ended[n] = time.time() - started
                    # The job's beat starts with its rows.
                    if ready is None and os.path.exists(os.path.join(io, "beat")):
                        ready = time.time() - started
                    hung = watch(io, console, rows, seen)
                    time.sleep(0.5)
                stream(outputs, heads, lines, whole=True)
            finally:
                end(machine)
            stopped = time.time() - started
            if state and os.path.exists(os.path.join(io, "untaken")):
                say("the saved state's started sessions that no row took: %s" % (
                    ", ".join(open(os.path.join(io, "untaken")).read().split()) or "none"))
            say("the longest silences: the guest %.0f s, %s" % (seen.get("guest", 0), ", ".join(
                "%s %.0f s" % (name or "the job", seen[n]["quiet"]) for n, (name, _) in enumerate(rows) if n in seen)))
            if os.path.exists(os.path.join(io, "status")):
                ended = {n: ended.get(n, stopped) for n in range(len(rows))}
                if all(name for name, _ in rows):
                    phases(rows, "restore" if state else "boot", ready or 0, ended, stopped, [(n, at - started, line) for n, at, line in lines])
                return [(int(open(os.path.join(io, "status.%d" % n)).read()), ended[n]) for n in range(len(rows))]
            console.seek(0)
            lines = [line for line in console.read().decode(errors="replace").splitlines(True) if "TCG doesn't" not in line]
    fail("the machine %s; the console's last lines:\n%s" % (hung or "ended (status %d) before its job did"
                                                            % machine.returncode, "".join("  | " + l for l in lines[-25:])))


def converse(machine, io):
    """This terminal as the guest's console, until the machine ends. What is typed or piped waits
    until the guest's shell is there to read it (IO/ready), however early it came; the end of the
    input reaches the shell as a Ctrl-D typed at a line's start would."""
    while not os.path.exists(os.path.join(io, "console")) and machine.poll() is None:
        time.sleep(0.05)
    typed = os.isatty(0) and termios.tcgetattr(0)
    with socket.socket(socket.AF_UNIX) as console, contextlib.ExitStack() as restore:
        console.connect(os.path.join(io, "console"))
        console.setblocking(False)
        if typed:  # each key, Ctrl-C too, goes to the guest's terminal as it is
            tty.setraw(0)
            restore.callback(termios.tcsetattr, 0, termios.TCSADRAIN, typed)
        pending, last, ended = b"", b"\n", False
        while machine.poll() is None:
            asking = not pending and not ended and os.path.exists(os.path.join(io, "ready"))
            readable, writable, _ = select.select([console] + [0] * asking, [console] * bool(pending), [], 0.2)
            if console in readable:
                os.write(1, console.recv(65536))
            if 0 in readable:
                pending = os.read(0, 4096)
                ended, last = not pending, pending[-1:] or last
                pending = pending or (b"" if last == b"\n" else b"\n") + b"\x04"  # a line not ended ends, then the input
            if writable:
                pending = pending[console.send(pending):]


def stream(outputs, heads, seen, whole=False):
    """Writes out what the rows have printed since, each line after its row's name; a line not yet
    ended waits for its end, unless the rows are WHOLE. Each line goes to SEEN too, with its output's
    number and the time it came."""
    for n, (output, head) in enumerate(zip(outputs, heads)):
        text = output.read()
        lines = text.splitlines(True)
        if lines and not lines[-1].endswith(b"\n") and not whole:
            output.seek(-len(lines.pop()), os.SEEK_CUR)
        os.write(sys.stdout.fileno(), b"".join(head + line for line in lines))
        seen += [(n, time.time(), line) for line in lines]


# A case's last line, as the drivers print it: whether it passed, its name, its seconds.
CASE = re.compile(rb"(?:ok  |FAIL) (.*) \((\d+(?:\.\d+)?) s\)")


def phases(rows, how, ready, ended, stopped, lines):
    """Where the time went, a line a phase, in seconds since the machine started: its HOW (boot or
    restore) until its job began; for each row its session's start-up (the prefix, the display, Wine and its desktop)
    until its first case began, each case as its driver timed it, and what came after its last case;
    then the power-off. A line is seen within half a second of being written."""
    say("time: the machine's %s, until its job began: %.0f s" % (how, ready))
    for n, (name, _) in enumerate(rows):
        cases = [(at, CASE.fullmatch(line.rstrip())) for row, at, line in lines if row == n + 1]
        cases = [(at, match.group(1).decode(errors="replace"), float(match.group(2))) for at, match in cases if match]
        begun = cases[0][0] - cases[0][2] if cases else ended[n]
        say("time: [%s] its session's start-up: %.0f s" % (name, begun - ready))
        for _, case, seconds in cases:
            say("time: [%s] %s: %.1f s" % (name, case, seconds))
        say("time: [%s] after its last case, until it ended: %.0f s" % (name, ended[n] - (cases[-1][0] if cases else begun)))
    say("time: the power-off, after the last row: %.0f s" % (stopped - max(ended.values(), default=ready)))


def debian_mirror():
    """PE32_MIRROR, else the first Debian mirror of this host's apt sources: a deb source of main
    whose suite is a release name (not -updates or -security)."""
    targets = subprocess.run(["apt-get", "indextargets", "--no-release-info", "--format", "$(RELEASE) $(REPO_URI)",
                              "Identifier: Packages", "Component: main", "Target-Of: deb"], capture_output=True, text=True)
    releases = [target.split() for target in targets.stdout.splitlines() if re.fullmatch(r"[a-z]+ \S+", target)]
    if os.environ.get("PE32_MIRROR") or releases:
        return os.environ.get("PE32_MIRROR") or releases[0][1]
    fail("no Debian mirror found in this host's apt sources; name one with PE32_MIRROR=URL")


def bootstrap_command():
    """mmdebstrap as this user can run it: in a user namespace, or as root in a mount namespace of
    its own where there can be one (in a chroot there cannot: it unmounts what it mounted unless
    it is killed, and then the removal of its half-made image does)."""
    if os.geteuid() == 0:
        private = ["unshare", "--mount", "--propagation", "private"]
        return (private if subprocess.run([*private, "true"], stderr=subprocess.DEVNULL).returncode == 0 else []) + \
            ["mmdebstrap", "--mode=root"]
    if subprocess.run(["unshare", "--user", "true"], stderr=subprocess.DEVNULL).returncode:
        fail("this host does not let users make user namespaces, which making the image without root needs.",
             "Turn them on as root: sysctl -w user.max_user_namespaces=15000, and on Debian's kernel also",
             "kernel.unprivileged_userns_clone=1 (put both into /etc/sysctl.d/ to keep them).")
    user = subprocess.run(["id", "-un"], capture_output=True, text=True).stdout.strip()
    if not any(line.startswith(user + ":") for line in open("/etc/subuid")):
        fail("%s has no subordinate user ids, which making the image without root needs." % user,
             "Give them as root: usermod --add-subuids 100000-165535 --add-subgids 100000-165535 " + user)
    return ["mmdebstrap", "--mode=unshare"]


def strip_debug(data):
    """DATA, a PE file, without its debugging information, or None when it has none or it is not
    laid out as Wine's are: those sections last, in the section table and in the file, after every
    loaded one. The rest keeps its bytes, and its alignment in the file: Wine maps a file aligned to
    a page into each process that loads it, and copies any other (objcopy realigned the files, and
    that of binutils 2.44 also made their import tables read-only, which Wine writes)."""
    if data[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count, _, symbols, symbol_count, optional_size = struct.unpack_from("<HIIIH", data, pe + 6)
    table, strings = pe + 24 + optional_size, symbols + 18 * symbol_count
    headers = [data[at:at + 40] for at in range(table, table + 40 * count, 40)]
    names = [data[strings + int(h[1:8].rstrip(b"\0")):].split(b"\0")[0] if h[:1] == b"/" and symbols else h[:8].rstrip(b"\0")
             for h in headers]
    kept = len([name for name in names if not name.startswith(b".debug")])
    if kept == count or any(name.startswith(b".debug") for name in names[:kept]):
        return None
    cut = min(struct.unpack_from("<I", h, 20)[0] for h in headers[kept:])
    if any(sum(struct.unpack_from("<II", h, 16)) > cut for h in headers[:kept]) or 0 < symbols < cut:
        return None
    # The image ends with its last kept section, and no data directory may point past it.
    magic, alignment = struct.unpack_from("<H", data, pe + 24)[0], struct.unpack_from("<I", data, pe + 24 + 32)[0]
    size = -(-max(sum(struct.unpack_from("<II", h, 8)) for h in headers[:kept]) // alignment) * alignment
    directories = pe + 24 + (96 if magic == 0x10B else 112)
    if any(rva >= size for rva, _ in struct.iter_unpack("<II", data[directories:directories + 8 * struct.unpack_from(
            "<I", data, directories - 4)[0]])):
        return None
    # The string table (the longer section names) stays, after the kept sections.
    out = bytearray(data[:cut]) + (data[strings:] if symbols else b"")
    struct.pack_into("<H", out, pe + 6, kept)
    struct.pack_into("<II", out, pe + 12, cut if symbols else 0, 0)
    out[table + 40 * kept:table + 40 * count] = bytes(40 * (count - kept))
    # The checksum stays as it was: Wine reads none, and its own files' do not match them either.
    struct.pack_into("<I", out, pe + 24 + 56, size)
    return out


def strip_hook():
    """mmdebstrap's hook that runs strip_wine on the guest's root: the code itself, since the
    subordinate ids it runs as may not enter the checkout."""
    return "--customize-hook=python3 -c %s \"$1\"" % shlex.quote("import os, struct, sys\n" + inspect.getsource(
        strip_debug) + inspect.getsource(strip_wine) + "strip_wine(sys.argv[1])\n")


def strip_wine(root):
    """Wine's PE files in the guest's ROOT without their debugging information, two thirds of their
    1.2 GB, which each prefix then copies; no test reads it."""
    for folder in ("usr/lib/x86_64-linux-gnu/wine/x86_64-windows", "usr/lib/i386-linux-gnu/wine/i386-windows"):
        # A link would lead out of the guest's root, into the host's files.
        for entry in (e for e in os.scandir(os.path.join(root, folder)) if e.is_file(follow_symlinks=False)):
            with open(entry.path, "r+b") as f:
                out = strip_debug(f.read())
                if out:
                    f.seek(0)
                    f.write(out)
                    f.truncate()


def make_image(folder):
    """Makes the image in FOLDER.new and renames it into place whole. The packages it runs are the
    Makefile's, which `make check` and `make run` install."""
    bootstrap, mirror = bootstrap_command(), debian_mirror()
    free_mb = shutil.disk_usage(BASE).free // 2**20
    if free_mb < NEED_MB:
        fail("making the image needs %d MB free under %s; there are %d MB" % (NEED_MB, BASE, free_mb))
    new, log = folder + ".new", folder + ".new/log"
    os.mkdir(new)
    say("making the emulated machine's image in %s (about 5 minutes, once)" % folder)
    started = time.time()
    try:
        # mmdebstrap's folder for the guest's root, on disk (/tmp may be a tmpfs): as root in the half-made
        # image, with the mounts a stop leaves; else /var/tmp, which subordinate ids can enter, unlike a home.
        tmp = os.path.join(new, "tmp") if os.geteuid() == 0 else "/var/tmp"
        os.makedirs(tmp, exist_ok=True)
        step("making the guest's root", [*bootstrap, "--variant=minbase", "--architectures=amd64,i386", "--include=" + PACKAGES,
                                         *TRIM, *INITRAMFS, strip_hook(), SUITE, os.path.join(new, "root.tar"), mirror],
             log, env=dict(os.environ, TMPDIR=tmp))
        # One fakeroot session: the files keep the owners and modes the archive gives them.
        step("making the guest's disk", ["fakeroot", "sh", "-ec", """
            mkdir "$1/root"
            tar -C "$1/root" -xf "$1/root.tar"
            rm "$1/root.tar"
            install -m 755 "$2" "$1/root/vminit"
            cp -L "$1/root/vmlinuz" "$1/root/initrd.img" "$1/"
            PATH=$PATH:/usr/sbin:/sbin mke2fs -q -t ext4 -d "$1/root" -L root "$1/root.img" "$3"
            chmod -R u+w "$1/root"; rm -rf "$1/root" "$1/tmp" """, "sh", new, GUEST_INIT, DISK_SIZE], log)
        # One boot makes the prefixes, minutes each under emulation, side by side on its threads: one
        # for each architecture, as the list's first Windows of it (the session sets a row's own).
        first = {}
        for name, arch, *_ in windows_rows():
            first.setdefault(arch, name)
        rows = [("", 'echo %d >"$QUIBEL_BUDGET_FILE"\nsh %s --make-prefix %s /prefixes/%s'
                 % (PREFIX_BUDGET * -(-len(first) // MACHINE_THREADS), shlex.quote(SESSION), name, arch))
                for arch, name in first.items()]
        say("making the %s prefixes" % " and ".join(first))
        started_boot = time.time()
        if any(status for status, _ in boot(new, os.path.join(new, "root.img"), "raw", "off", rows)):
            fail("making the prefixes failed (above)")
        say("time: making the prefixes: %.0f s" % (time.time() - started_boot))
        # Compressed, the image takes a third of the disk; its reads cost the tests little.
        step("compressing the disk", ["qemu-img", "convert", *COMPRESS, os.path.join(new, "root.img"),
                                      os.path.join(new, "root.qcow2")], log)
        for name in ("root.img", "log"):
            os.remove(os.path.join(new, name))
        open(os.path.join(new, "complete"), "w").close()
        os.rename(new, folder)
    except BaseException:
        remove_entry(new)
        raise
    say("image made in %.0f s, %s on disk" % (time.time() - started, subprocess.run(
        ["du", "-sh", folder], capture_output=True, text=True).stdout.split()[0]))


def start_script():
    """The job of the boot that makes the saved state: the sessions side by side, each in a cgroup of
    its own that a row's session takes over with it, then a wait until they have settled."""
    rows = windows_rows()
    script = ""
    for name, *_ in rows:
        for n in range(STARTED if name == rows[0][0] else 1):
            session = "%s.%d" % (name, n)
            script += ('mkdir /sys/fs/cgroup/session.%s && { echo 0 >/sys/fs/cgroup/session.%s/cgroup.procs\n'
                       'exec sh ./wine_session.sh --start-in-machine %s /run/sessions/%s; } &\nstarts="${starts:-} $!"\n'
                       % (session, session, name, session))
    # Settled: the sessions together used less than SETTLED of a processor's time in each of SETTLED_FOR
    # seconds in a row. The look is the shell's own reads, in no session's cgroup.
    return script + """for start in $starts; do wait $start || exit 1; done
quiet=0 last=0
while [ $quiet -lt %d ]; do
    sleep 1
    used=0
    for session in /sys/fs/cgroup/session.*; do
        while read -r name value; do [ "$name" = usage_usec ] && used=$((used + value)); done <$session/cpu.stat
    done
    echo "the sessions' processor time: $used us"
    if [ $((used - last)) -lt %d ]; then quiet=$((quiet + 1)); else quiet=0; fi
    last=$used
done
""" % (SETTLED_FOR, SETTLED * 1000000)


def state_key():
    """The saved state's name in its image: a digest of the QEMU that saves it (a machine saved by
    another may not load) and of what it holds."""
    qemu = os.stat(shutil.which("qemu-system-x86_64") or fail("no qemu-system-x86_64 on the PATH"))
    parts = [str(qemu.st_size), str(qemu.st_mtime_ns), *machine_command("", "", "", "", "", ""), start_script()]
    return "state-" + hashlib.sha256("\n".join(parts).encode()).hexdigest()[:16]


def make_state(folder, name):
    """Boots the machine once on a disk of its own over the image's, lets start_script start its
    sessions, and saves the machine's memory beside that disk: FOLDER/NAME, made aside whole. Why
    it could not be made, as a RuntimeError."""
    new = os.path.join(folder, name + ".new")
    disk, memory, log = (os.path.join(new, file) for file in ("disk.qcow2", "memory", "console.log"))
    os.mkdir(new)
    with tempfile.TemporaryDirectory() as io, tempfile.TemporaryDirectory() as top, take_slot(), open(log, "w+b") as console:
        os.mkdir(os.path.join(io, "start"))
        with open(os.path.join(io, "start", "job"), "w") as f:
            f.write(start_script())
        for file in (SESSION, os.path.join(HERE, "windows.list")):
            shutil.copy(file, os.path.join(io, "start"))
        # The image's own disk, which the new one holds the changes to, is named from the new one's folder.
        subprocess.run(["qemu-img", "create", "-q", "-u", "-f", "qcow2", "-b", "../root.qcow2", "-F", "qcow2", disk, DISK_SIZE],
                       check=True)
        machine = start(machine_command(folder, disk, "qcow2", "off", io, top) + ["-serial", "stdio"], stdout=console)
        try:
            deadline = time.time() + STATE_BUDGET
            while b"pe32_init: ready to be saved" not in open(log, "rb").read():
                if machine.poll() is not None or time.time() > deadline:
                    tail = open(log, "rb").read().decode(errors="replace").splitlines(True)[-10:]
                    raise RuntimeError("its boot %s; the console's last lines:\n%s" % (
                        "ended" if machine.poll() is not None else "did not start the sessions within %d s" % STATE_BUDGET,
                        "".join("  | " + line for line in tail)))
                time.sleep(1)
            # Stopped first: a machine saved as it runs would go on from its save, unseen, then stop. The
            # memory is whole once its writer, which outlives QEMU's word, has renamed it into place.
            qmp(io, ("stop", {}), ("migrate", {"uri": "exec:cat >%s.part && mv %s.part %s" % ((shlex.quote(memory),) * 3)}))
            migrated = None
            while migrated in (None, "setup", "active", "device") and machine.poll() is None:
                time.sleep(0.5)
                migrated = ((qmp(io, ("query-migrate", {})) or [{}])[0]).get("status")
            if migrated != "completed":
                raise RuntimeError("QEMU's save ended %s" % (migrated or "with the machine"))
            qmp(io, ("quit", {}))
            with contextlib.suppress(subprocess.TimeoutExpired):
                machine.wait(STOP_GRACE)
            for _ in range(STOP_GRACE * 10):
                if os.path.exists(memory):
                    break
                time.sleep(0.1)
            else:
                raise RuntimeError("the saved memory was not written whole within %d s" % STOP_GRACE)
        finally:
            end(machine)
    os.remove(log)
    os.rename(new, os.path.join(folder, name))


def saved_state(folder, again=False):
    """The image's saved state for this QEMU, made first if need be, or AGAIN; None when it cannot be
    made, said as such: the machine boots instead. Making one removes the image's other states."""
    path = os.path.join(folder, state_key())
    if os.path.isdir(path) and not again:
        return path
    with cache_lock():
        if os.path.isdir(path) and not again:  # another run made it meanwhile
            return path
        for name in os.listdir(folder):
            if name.startswith("state-"):
                shutil.rmtree(os.path.join(folder, name))
        say("saving the machine with its Wine sessions started, for each run to restore (once, about a minute)")
        started = time.time()
        try:
            make_state(folder, os.path.basename(path))
        except (RuntimeError, subprocess.CalledProcessError) as why:
            say("the saved state could not be made, so the machine boots: %s" % why)
            return None
        finally:
            if os.path.exists(path + ".new"):
                shutil.rmtree(path + ".new")
        say("time: making the saved state, once: %.0f s (%s on disk)" % (time.time() - started, subprocess.run(
            ["du", "-sh", path], capture_output=True, text=True).stdout.split()[0]))
        return path


def held_image():
    """This version's image, made first if need be, and a hold on it."""
    folder = os.path.join(BASE, key())
    hold = hold_image(folder)
    if hold is None:
        with cache_lock():
            remove_half_made()
            hold = hold_image(folder)
            if hold is None:
                # Older images go first, unless a run holds them: then the free space counts what they free.
                remove_unused_images(keep=os.path.basename(folder))
                make_image(folder)
                hold = hold_image(folder)
    return folder, hold


def image(command):
    hold = held_image()[1]
    if command:
        # The hold goes to the command, which keeps it until it ends.
        os.set_inheritable(hold, True)
        os.execvp(command[0], command)


def run(words):
    """Runs COMMAND, or each --row NAME COMMAND side by side, in one machine; the worst status."""
    folder = held_image()[0]
    rows = split_rows(words)
    # PE32_ROWS picks the rows whose names hold it, to run one Windows alone, say.
    picked = [row for row in rows if os.environ.get("PE32_ROWS", "") in row[0]]
    if not picked:
        fail("no row's name holds PE32_ROWS=%s; the rows: %s" % (os.environ["PE32_ROWS"], ", ".join(n for n, _ in rows)))
    rows = picked
    rows = [(name, guest_prelude() + shlex.join(command)) for name, command in rows]
    state = saved_state(folder)
    ended = state and boot(folder, os.path.join(state, "disk.qcow2"), "qcow2", "on", rows, state=state)
    if state and ended is None:
        say("making the saved state again")
        state = saved_state(folder, again=True)
        ended = state and boot(folder, os.path.join(state, "disk.qcow2"), "qcow2", "on", rows, state=state)
        if state and ended is None:
            say("the state made again could not be restored either, so the machine boots")
    ended = ended or boot(folder, os.path.join(folder, "root.qcow2"), "qcow2", "on", rows)
    if len(rows) > 1:
        say(", ".join("%s %s (%sended %d s into the boot)" % (name, "FAILED" if status else "passed",
                                                               "status %d, " % status if status else "", seconds)
                      for (name, _), (status, seconds) in zip(rows, ended)))
    return max(status for status, _ in ended)


def guest_prelude():
    """What a row's commands start with: this folder where the guest has it, and the variables of the
    host's environment that the drivers read there."""
    here = "cd %s 2>/dev/null || cd /\n" % shlex.quote(os.getcwd())
    return here + "".join("export %s=%s\n" % (name, shlex.quote(os.environ[name])) for name in PASSED if name in os.environ)


def shell(words):
    """A shell on this terminal in the machine, in the session a row of WINDOWS gets there: its prefix,
    its display and its Windows version. Leaving it ends the machine, whose writes go with it."""
    names = [row[0] for row in windows_rows()]
    if len(words) != 1 or words[0] not in names:
        fail("shell takes the name of a Windows of windows.list:", ", ".join(names))
    folder = held_image()[0]
    session = ["sh", SESSION, "--in-machine", words[0], "env", "PS1=%s# " % words[0], "setsid", "-c",
               "sh", "-c", ": >/io/ready; exec sh -i"]
    say("booting; in the shell, wine build/win32/setup.exe runs as in a row, and exit ends the machine")
    return boot(folder, os.path.join(folder, "root.qcow2"), "qcow2", "on",
                [("", guest_prelude() + "exec </dev/ttyS0 >/dev/ttyS0 2>&1\n" + shlex.join(session))], console=True)[0][0]


def split_rows(words):
    """(NAME, COMMAND) for each --row NAME COMMAND, or the words as one row without a name."""
    if words[:1] != ["--row"]:
        return [("", words)]
    rows = [list(row) for is_row, row in itertools.groupby(words, lambda word: word == "--row") if not is_row]
    return [(row[0], row[1:]) for row in rows]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", choices=("image", "run", "shell"), help="image: make the image if need be, then run COMMAND "
                        "holding it. run: the same, then run COMMAND in the machine, in this folder, its writes thrown away, or each of "
                        "--row NAME COMMAND [--row NAME COMMAND...] side by side in one machine; a COMMAND writes the "
                        "seconds it may take to $QUIBEL_BUDGET_FILE, after which the machine counts as hung. shell WINDOWS: "
                        "a shell on this terminal in the machine, in the session a row of that Windows gets")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    arguments = parser.parse_args()
    # A stop (ctest's limit, Ctrl-C, a TERM to this script alone) unwinds through every `finally`,
    # which stops the machine or the step that runs, and removes what was half made.
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, lambda signum, frame: sys.exit(128 + signum))
    try:
        return {"image": image, "run": run, "shell": shell}[arguments.what](arguments.command)
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
