#!/usr/bin/env python3
"""The emulated machine that runs the shipped PE32: Debian 12's own kernel (which, unlike the build
machines' kernel, runs 32-bit code) with 32-bit Wine, under QEMU without KVM. Needs no root.

usage: pe32_machine.py image [COMMAND [ARG...]]
           makes the image if this version of it is not made yet, then runs COMMAND holding it, so
           that no other run removes it meanwhile
       pe32_machine.py run COMMAND [ARG...]
           boots the image and runs COMMAND inside, with the project folder shared at its own path;
           the machine's writes are thrown away. COMMAND writes the seconds it may still take (the
           sum of its own waits) to $QUIBEL_BUDGET_FILE; the machine is stopped once they are spent.

The images live in the user's cache, BASE below, one folder for each version of what goes into them:
  BASE/lock        held while an image is made or anything is removed
  BASE/KEY/        a whole image, marked so by BASE/KEY/complete, written last; a run holds it (a
                   shared lock on the folder) for its whole length
  BASE/KEY.new/    an image being made, or what a stopped run left of one
  BASE/*.gone      an entry being removed, moved aside first
  BASE/slots/N     one for each machine this host runs at once
"""
import argparse
import fcntl
import hashlib
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

TOOLS = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(TOOLS)
BASE = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "quibel-setup", "pe32-machine")
GUEST_INIT = os.path.join(TOOLS, "pe32_init.sh")
SESSION = os.path.join(TOOLS, "wine_session.sh")

# What goes into the image. The guest stays Debian 12, the project's test platform, whatever the
# host runs; only the mirror is the host's.
SUITE = "bookworm"
PACKAGES = "linux-image-amd64,initramfs-tools,xvfb,xauth,procps,wine,wine32,wine64,libwine:i386,fonts-wine"
# Nothing the tests read: documentation, manuals and translations stay out.
TRIM = ["--dpkgopt=path-exclude=/usr/share/%s/*" % folder for folder in ("doc", "man", "info", "locale")]
DISK_SIZE = "8G"  # the guest's root file system; the image holds only what is used of it
COMPRESS = ["-c", "-W", "-O", "qcow2", "-o", "compression_type=zstd"]
# Making the image took 6.3 GB at its peak here (the guest's root as a folder and as an archive,
# then as a folder and a disk, then the disk and the compressed image); it keeps 1.6 GB.
NEED_MB = 8000
# Each machine takes two threads and 2 GB; no more run at once than this host holds.
MACHINE_THREADS, MACHINE_MB = 2, 2048
# A boot reaches its job in about 35 s here, Wine started; a machine three times slower is still
# not hung. The same allowance covers a job's work between its waits and the power-off.
START_ALLOWANCE = 120
# Making one prefix took up to 150 s here; four times that.
PREFIX_BUDGET = 600
# A stopped step's own clean-up (mmdebstrap unmounting and removing its folder) took under 3 s here.
STOP_GRACE = 30


def say(text):
    print("pe32_machine: " + text, flush=True)


def fail(*words):
    print("pe32_machine: " + " ".join(words), file=sys.stderr, flush=True)
    sys.exit(1)


def windows_rows():
    """tools/windows.list as the session script reads it: name, architecture, version, what is seen."""
    listed = subprocess.run(["sh", SESSION, "--list-windows"], capture_output=True, text=True, check=True).stdout
    return [line.split("\t") for line in listed.splitlines()]


def key():
    """The image's name: a digest of what goes into it, not of how these files word it."""
    def code(path):
        return [line for line in open(path) if line.strip() and not line.lstrip().startswith("#")]
    parts = [SUITE, PACKAGES, *TRIM, DISK_SIZE, *COMPRESS, str(PREFIX_BUDGET), *code(GUEST_INIT), *code(SESSION),
             *("\t".join(row[:3]) for row in windows_rows())]
    return hashlib.sha256("\n".join(parts).encode()).hexdigest()[:16]


# ---- Steps that can be stopped at any moment ---------------------------------------------------

def end(child, signum=signal.SIGTERM):
    """Stops a child and everything it started (its own process group), and waits for them."""
    if child.poll() is None:
        os.killpg(child.pid, signum)
        try:
            child.wait(STOP_GRACE)
        except subprocess.TimeoutExpired:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()


def step(what, command, log, **options):
    """Runs one step of making the image, its output in LOG; a failure names the step and shows
    the end of what it printed."""
    with open(log, "ab") as out:
        child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                 start_new_session=True, **options)
        try:
            status = child.wait()
        finally:
            end(child)
    if status:
        with open(log, errors="replace") as out:
            sys.stderr.write("".join("  | " + line for line in out.readlines()[-25:]))
        fail("%s failed (status %d); the end of its output is above, all of it in %s" % (what, status, log))


# ---- The cache ---------------------------------------------------------------------------------

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
    try:
        hold = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except FileNotFoundError:
        return None
    fcntl.flock(hold, fcntl.LOCK_SH)
    # The folder may have been moved aside for removal while this waited for the lock.
    try:
        whole = os.path.samestat(os.fstat(hold), os.stat(folder)) and os.path.isfile(os.path.join(folder, "complete"))
    except FileNotFoundError:
        whole = False
    if not whole:
        os.close(hold)
        return None
    return hold


def remove_entry(path):
    """Moves a cache entry aside, then removes it: whenever this stops, what is left is a `.gone`
    entry, which no run takes for an image and the next removal takes away."""
    gone = path if path.endswith(".gone") else "%s.%d.gone" % (path, os.getpid())
    os.rename(path, gone)
    # As root, a killed mmdebstrap may leave its mounts (an octal escape in /proc/mounts is a space,
    # a tab or a backslash of the path).
    mounts = [re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), line.split()[1]) for line in open("/proc/mounts")]
    for mount in sorted((m for m in mounts if m.startswith(gone + "/")), reverse=True):
        subprocess.run(["umount", "-l", mount])
    if os.path.isdir(gone) and not os.path.islink(gone):
        subprocess.run(["chmod", "-R", "u+w", gone], stderr=subprocess.DEVNULL)
        try:
            shutil.rmtree(gone)
        except PermissionError:  # a stopped mmdebstrap's files, owned by the user's subordinate ids
            subprocess.run(["mmdebstrap", "--unshare-helper", "rm", "-rf", gone], check=True)
    else:
        os.remove(gone)


def remove_half_made():
    """Removes, under the cache lock, what stopped runs left: half-made images and half-removed entries."""
    for name in os.listdir(BASE):
        if name.endswith((".new", ".gone")):
            remove_entry(os.path.join(BASE, name))


def remove_unused_images(keep):
    """Removes, under the cache lock, the images of other versions that no run holds."""
    for name in os.listdir(BASE):
        path = os.path.join(BASE, name)
        if name in ("lock", "slots", keep) or not os.path.isdir(path):
            continue
        entry = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
        try:
            fcntl.flock(entry, fcntl.LOCK_EX | fcntl.LOCK_NB)
            say("removing an image no run uses: " + path)
            remove_entry(path)
        except BlockingIOError:
            pass
        finally:
            os.close(entry)


# ---- The machine -------------------------------------------------------------------------------

def take_slot():
    """Holds one of the slots that bound how many machines run at once on this host, across every
    run and checkout of the user; waits for one when all are taken."""
    available_mb = next(int(line.split()[1]) // 1024 for line in open("/proc/meminfo") if line.startswith("MemAvailable:"))
    slots = max(1, min(os.cpu_count() // MACHINE_THREADS, available_mb // MACHINE_MB))
    os.makedirs(os.path.join(BASE, "slots"), exist_ok=True)
    said = False
    while True:
        for n in range(1, slots + 1):
            slot = open(os.path.join(BASE, "slots", str(n)), "a")
            try:
                fcntl.flock(slot, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return slot
            except BlockingIOError:
                slot.close()
        if not said:
            say("waiting for a machine: all %d this host holds are running" % slots)
            said = True
        time.sleep(1)


def overdue(io, started):
    """Why the machine counts as hung, or None: its job has spent the budget it declared, with the
    allowance to spare, or has declared none within the allowance of the start."""
    try:
        with open(os.path.join(io, "budget")) as declared:
            budget = int(re.sub(r"\D", "", declared.read()))
            deadline = os.fstat(declared.fileno()).st_mtime + budget + START_ALLOWANCE
    except (OSError, ValueError):
        budget, deadline = None, started + START_ALLOWANCE
    if time.time() < deadline:
        return None
    if budget is None:
        return "did not start its job within %d s" % START_ALLOWANCE
    return "did not end within its job's budget of %d s and %d s to spare" % (budget, START_ALLOWANCE)


def boot(image, disk, disk_format, snapshot, io, shares):
    """Runs IO/job in the machine booted from IMAGE's kernel and DISK, with the folders SHARES
    (tag: path) shared, streaming its output; returns the job's exit status."""
    def value(text):  # in QEMU's options a comma is written twice
        return text.replace(",", ",,")
    command = ["qemu-system-x86_64", "-accel", "tcg,thread=multi", "-cpu", "Haswell-noTSX",
               "-m", str(MACHINE_MB), "-smp", str(MACHINE_THREADS), "-nographic", "-no-reboot", "-nic", "none",
               "-kernel", os.path.join(image, "vmlinuz"), "-initrd", os.path.join(image, "initrd.img"),
               "-drive", "file=%s,format=%s,if=virtio,snapshot=%s" % (value(disk), disk_format, snapshot),
               "-append", "root=/dev/vda rw console=ttyS0 quiet panic=-1 init=/vminit"]
    for tag, path in shares.items():
        command += ["-virtfs", "local,path=%s,mount_tag=%s,security_model=none,id=%s" % (value(path), tag, tag)]
    for name in ("status", "budget"):
        if os.path.exists(os.path.join(io, name)):
            os.remove(os.path.join(io, name))
    open(os.path.join(io, "output"), "wb").close()
    started, hung = time.time(), None
    # The job's output comes through the shared folder as it is written; the console (firmware,
    # kernel) is kept for a hang's report.
    with take_slot(), open(os.path.join(io, "console.log"), "wb") as console, \
            open(os.path.join(io, "output"), "rb") as output:
        machine = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=console, stderr=subprocess.STDOUT,
                                   start_new_session=True)
        try:
            while machine.poll() is None and not hung:
                sys.stdout.buffer.write(output.read())
                sys.stdout.flush()
                hung = overdue(io, started)
                time.sleep(0.5)
            sys.stdout.buffer.write(output.read())
            sys.stdout.flush()
        finally:
            end(machine, signal.SIGKILL)  # its writes are thrown away or go with the half-made image
    try:
        return int(open(os.path.join(io, "status")).read())
    except (OSError, ValueError):
        lines = [line for line in open(os.path.join(io, "console.log"), errors="replace") if "TCG doesn't support" not in line]
        print("pe32_machine: the machine %s; the console's last lines:\n%s" % (
            hung or "ended (status %d) before its job did" % machine.returncode,
            "".join("  | " + line for line in lines[-25:])), file=sys.stderr, flush=True)
        return 1


# ---- Making the image --------------------------------------------------------------------------

def debian_mirror():
    """PE32_MIRROR, else the first Debian mirror of this host's apt sources: a deb source of main
    whose suite is a release name (not -updates or -security)."""
    if os.environ.get("PE32_MIRROR"):
        return os.environ["PE32_MIRROR"]
    targets = subprocess.run(["apt-get", "indextargets", "--no-release-info", "--format",
                              "$(TARGET_OF) $(COMPONENT) $(RELEASE) $(REPO_URI)", "Identifier: Packages"],
                             capture_output=True, text=True).stdout.split("\n")
    for target in targets:
        fields = target.split()
        if len(fields) == 4 and fields[:2] == ["deb", "main"] and re.fullmatch(r"[a-z]+", fields[2]):
            return fields[3]
    fail("no Debian mirror found in this host's apt sources; name one with PE32_MIRROR=URL")


def bootstrap_command():
    """mmdebstrap as this user can run it: in a user namespace, or as root in a mount namespace of
    its own where there can be one (in a chroot there cannot: it unmounts what it mounted unless
    it is killed, and then the removal of its half-made image does)."""
    if os.geteuid() == 0:
        if subprocess.run(["unshare", "--mount", "--propagation", "private", "true"], stderr=subprocess.DEVNULL).returncode:
            return ["mmdebstrap", "--mode=root"]
        return ["unshare", "--mount", "--propagation", "private", "mmdebstrap", "--mode=root"]
    if not shutil.which("newuidmap"):
        fail("newuidmap is missing: install the package uidmap")
    if subprocess.run(["unshare", "--user", "true"], stderr=subprocess.DEVNULL).returncode:
        fail("this host does not let users make user namespaces, which making the image without root needs.",
             "Turn them on as root: sysctl -w user.max_user_namespaces=15000, and on Debian's kernel also",
             "kernel.unprivileged_userns_clone=1 (put both into /etc/sysctl.d/ to keep them).")
    user = subprocess.run(["id", "-un"], capture_output=True, text=True).stdout.strip()
    if not any(line.startswith(user + ":") for line in open("/etc/subuid")):
        fail("%s has no subordinate user ids, which making the image without root needs." % user,
             "Give them as root: usermod --add-subuids 100000-165535 --add-subgids 100000-165535 " + user)
    return ["mmdebstrap", "--mode=unshare"]


def make_image(folder):
    """Makes the image in FOLDER.new and renames it into place whole."""
    for command, package in (("qemu-system-x86_64", "qemu-system-x86"), ("qemu-img", "qemu-utils"),
                             ("mmdebstrap", "mmdebstrap"), ("fakeroot", "fakeroot"), ("mke2fs", "e2fsprogs")):
        if not shutil.which(command, path=os.environ["PATH"] + ":/usr/sbin:/sbin"):
            fail("%s is missing: install the package %s" % (command, package))
    bootstrap, mirror = bootstrap_command(), debian_mirror()
    free_mb = shutil.disk_usage(BASE).free // 2**20
    if free_mb < NEED_MB:
        fail("making the image needs %d MB free under %s; there are %d MB" % (NEED_MB, BASE, free_mb))
    new, log = folder + ".new", folder + ".new/log"
    os.mkdir(new)
    say("making the emulated machine's image in %s (about 10 minutes, once)" % folder)
    try:
        # The guest's root is first a folder of mmdebstrap's own, inside the half-made image, so that
        # what a stop leaves goes with it, and on disk (/tmp may be a small tmpfs).
        os.mkdir(os.path.join(new, "tmp"), 0o1777)
        os.chmod(os.path.join(new, "tmp"), 0o1777)
        step("making the guest's root", [*bootstrap, "--variant=minbase", "--architectures=amd64,i386",
                                         "--include=" + PACKAGES, *TRIM, SUITE, os.path.join(new, "root.tar"), mirror],
             log, env=dict(os.environ, TMPDIR=os.path.join(new, "tmp")))
        # One fakeroot session: the files keep the owners and modes the archive gives them.
        step("making the guest's disk", ["fakeroot", "sh", "-ec", """
            mkdir "$1/root"
            tar -C "$1/root" -xf "$1/root.tar"
            rm "$1/root.tar"
            install -m 755 "$2" "$1/root/vminit"
            cp -L "$1/root/vmlinuz" "$1/root/initrd.img" "$1/"
            PATH=$PATH:/usr/sbin:/sbin mke2fs -q -t ext4 -d "$1/root" -L root "$1/root.img" "$3"
            chmod -R u+w "$1/root"; rm -rf "$1/root" "$1/tmp" """, "sh", new, GUEST_INIT, DISK_SIZE], log)
        make_prefixes(new)
        # Compressed, the image takes a third of the disk; its reads cost the tests little.
        step("compressing the disk", ["qemu-img", "convert", *COMPRESS, os.path.join(new, "root.img"),
                                      os.path.join(new, "root.qcow2")], log)
        os.remove(os.path.join(new, "root.img"))
        os.remove(log)
        open(os.path.join(new, "complete"), "w").close()
        os.rename(new, folder)
    except BaseException:
        remove_entry(new)
        raise
    say("image ready, %s on disk" % subprocess.run(["du", "-sh", folder], capture_output=True, text=True).stdout.split()[0])


def make_prefixes(new):
    """One boot that makes the Wine prefixes of tools/windows.list, which take minutes each under
    emulation, and keeps them on the disk."""
    names = [row[0] for row in windows_rows()]
    with tempfile.TemporaryDirectory() as io:
        shutil.copy(SESSION, io)
        shutil.copy(os.path.join(TOOLS, "windows.list"), io)
        with open(os.path.join(io, "job"), "w") as job:
            job.write('echo %d >"$QUIBEL_BUDGET_FILE"\n' % (len(names) * PREFIX_BUDGET))
            for name in names:
                job.write("echo 'making the %s prefix'\nsh /io/wine_session.sh --make-prefix %s /prefixes/%s || exit\n"
                          % (name, name, name))
        if boot(new, os.path.join(new, "root.img"), "raw", "off", io, {"io": io}):
            fail("making the prefixes failed (above)")


# ---- The commands ------------------------------------------------------------------------------

def image(command):
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
    if command:
        # The hold goes to the command, which keeps it until it ends.
        os.set_inheritable(hold, True)
        os.execvp(command[0], command)


def run(command):
    folder = os.path.join(BASE, key())
    if hold_image(folder) is None:
        fail("no image for this version of the tools; make it first with: tools/pe32_machine.py image")
    with tempfile.TemporaryDirectory() as io:
        with open(os.path.join(io, "top"), "w") as top:
            top.write(TOP)
        # The command runs in this folder where the guest has it, each word quoted for the guest's shell.
        with open(os.path.join(io, "job"), "w") as job:
            job.write("cd %s 2>/dev/null || cd /\n%s\n" % (shlex.quote(os.getcwd()), shlex.join(command)))
        return boot(folder, os.path.join(folder, "root.qcow2"), "qcow2", "on", io, {"io": io, "top": TOP})


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="what", required=True)
    for name, helps in (("image", "make the image if need be, then run COMMAND holding it"),
                        ("run", "run COMMAND in the machine")):
        commands.add_parser(name, help=helps).add_argument("command", nargs=argparse.REMAINDER)
    arguments = parser.parse_args()
    # A stop (ctest's limit, Ctrl-C, a kill of this script alone) unwinds through every `finally`,
    # which stops the machine and what the step runs, and removes what was half made.
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, lambda signum, frame: sys.exit(128 + signum))
    try:
        if arguments.what == "image":
            image(arguments.command)
            return 0
        if not arguments.command:
            parser.error("run needs a COMMAND")
        return run(arguments.command)
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
