#!/usr/bin/env python3
"""The emulated machine's image cache, on a stand-in cache where no image is built and no machine
boots: two versions of the tools at once, a stop at each step of a removal, a TERM to the machine
script alone while its machine runs and while it makes an image, and a stand-in guest whose row
keeps working slowly or goes silent. Beside it, what the session keeps of a failure, and of a pass.

usage: machine_cache_test.py SOURCE_DIR WORK_DIR
"""
import glob
import os
import shutil
import signal
import struct
import subprocess
import sys
import time

SOURCE, WORK = (os.path.abspath(a) for a in sys.argv[1:3])
TOOLS = os.path.join(SOURCE, "tools", "machine")
USER_ENV = dict(os.environ)  # the Wine session's, whose prefixes the user's cache keeps
ENV = dict(os.environ, XDG_CACHE_HOME=os.path.join(WORK, "cache"), PE32_MIRROR="http://127.0.0.1:9/debian",
           PATH=os.path.join(WORK, "bin") + ":" + os.environ["PATH"], STAND_IN_PIDS=os.path.join(WORK, "pids"))
os.environ.update(ENV)
sys.path.insert(0, TOOLS)
import pe32_machine as machine  # noqa: E402  (its cache is the one ENV names)
from checks import fail, run, stopped_before  # noqa: E402

IMAGE_FILES = ["root.qcow2", "vmlinuz", "initrd.img", "complete"]


def stand_in_cache(*images):
    subprocess.run(["rm", "-rf", machine.BASE, ENV["STAND_IN_PIDS"]])
    os.makedirs(machine.BASE)
    for image in images:
        os.mkdir(os.path.join(machine.BASE, image))
        for name in IMAGE_FILES:
            open(os.path.join(machine.BASE, image, name), "w").close()


def entries():
    """The cache as a later run takes it: each entry, and whether it holds it as a whole image (a run
    asks only for a version's own name, never for an entry set aside)."""
    taken = {}
    for name in sorted(set(os.listdir(machine.BASE)) - {"lock", "slots"}):
        if name.endswith((".new", ".gone")):
            taken[name] = "set aside"
            continue
        hold = machine.hold_image(os.path.join(machine.BASE, name))
        taken[name] = "whole" if hold is not None else "not an image"
        if hold is not None:
            os.close(hold)
            if sorted(os.listdir(os.path.join(machine.BASE, name))) != sorted(IMAGE_FILES):
                taken[name] = "taken for whole, but holds %s" % sorted(os.listdir(os.path.join(machine.BASE, name)))
    return taken


def in_python(code):
    """Runs CODE in another process that has the machine script's functions as `m`."""
    return subprocess.Popen([sys.executable, "-c", "import sys, time; sys.path.insert(0, %r)\nimport pe32_machine as m\n%s"
                             % (TOOLS, code)], stdout=subprocess.PIPE, text=True)


def check_two_versions():
    case = "two versions at once"
    stand_in_cache("one", "two", "three.new", "four.77.gone")
    holder = in_python("h = m.hold_image(m.os.path.join(m.BASE, 'one')); print(h is not None, flush=True); time.sleep(60)")
    if holder.stdout.readline().strip() != "True":
        fail(case, "expected the first version's run to hold its image, got no hold")
    # The second version's run, while the first one's runs: it removes what nobody holds.
    with machine.cache_lock():
        machine.remove_half_made()
        machine.remove_unused_images(keep="two")
    if entries() != {"one": "whole", "two": "whole"}:
        fail(case, "expected both images whole and nothing half made, got %s" % entries())
    holder.kill()
    holder.wait()
    with machine.cache_lock():
        machine.remove_unused_images(keep="two")
    if entries() != {"two": "whole"}:
        fail(case, "expected the image nobody holds removed, got %s" % entries())
    # A run that asks for its image while another removes it gets none, and leaves nothing behind.
    stand_in_cache("one")
    folder = os.path.join(machine.BASE, "one")
    removing = os.open(folder, os.O_RDONLY)
    machine.fcntl.flock(removing, machine.fcntl.LOCK_EX)
    asking = in_python("print(m.hold_image(m.os.path.join(m.BASE, 'one')))")
    time.sleep(1)
    machine.remove_entry(folder)
    os.close(removing)
    answer = asking.communicate()[0].strip()
    if answer != "None" or entries():
        fail(case, "expected no hold and an empty cache when the image goes while a run waits for it, got %s and %s"
             % (answer, entries()))


def check_stopped_removal():
    """Stopped before each step of a removal, the cache holds whole images and what a later run
    removes, never a part of an image that it takes for whole."""
    case = "a removal stopped at each step"
    for n in range(1, 50):
        stand_in_cache("old", "new")
        stopped = in_python(stopped_before(n, "rename", "unlink", "rmdir", "remove") + """
with m.cache_lock():
    m.remove_unused_images(keep="new")""")
        stopped.wait()
        after_stop = entries()
        with machine.cache_lock():
            machine.remove_half_made()
        if any(taken not in ("whole", "not an image", "set aside") for taken in after_stop.values()) or \
                entries() not in ({"old": "whole", "new": "whole"}, {"new": "whole"}):
            return fail(case, "expected whole images only after a stop before step %d, got %s, then %s"
                        % (n, after_stop, entries()))
        if stopped.returncode == 0:
            return
    fail(case, "expected the removal to end within 49 steps, got it still stopped before step 49")


def check_term(case, command, image):
    """A TERM to the machine script alone ends the stand-in it runs (a machine, or mmdebstrap), and
    leaves no half-made image."""
    stand_in_cache(*([machine.key()] if image else []))
    script = subprocess.Popen([os.path.join(TOOLS, "pe32_machine.py"), *command], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    for _ in range(300):
        if os.path.exists(ENV["STAND_IN_PIDS"]):
            break
        time.sleep(0.1)
    stand_in = int(open(ENV["STAND_IN_PIDS"]).read())
    script.send_signal(signal.SIGTERM)
    try:  # seconds, not the minutes mmdebstrap would take to end of itself
        script.wait(10)
    except subprocess.TimeoutExpired:
        script.kill()
    time.sleep(0.5)
    try:
        os.kill(stand_in, 0)
        fail(case, "expected it gone within seconds of a TERM to the script, got it running")
        os.kill(stand_in, signal.SIGKILL)
    except ProcessLookupError:
        pass
    if entries() != ({machine.key(): "whole"} if image else {}):
        fail(case, "expected the cache as it was, got %s" % entries())


def check_key():
    """The image's key follows what shapes the image and nothing else, in a copy of the tools."""
    case = "the image's key"
    copy = os.path.join(WORK, "tools")

    def read(tools):
        code = "import sys; sys.path.insert(0, %r); import pe32_machine as m; print(m.key(), m.windows_rows())" % tools
        return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stdout
    edits = [
        # file              sed expression                   the key and the list stay
        ("windows.list",    r"/^#/!s/ \+/\t/3;s/ \+/\t/2;s/ \+/\t/", True),  # tabs between the columns
        ("wine_session.sh", "s/^# The test platform's one/# The/", True),
        ("wine_session.sh", "s/winedbg.exe=d/winedbg.exe=/", False),
    ]
    for file, expression, stays in edits:
        subprocess.run(["rm", "-rf", copy])
        subprocess.run(["cp", "-r", TOOLS, copy], check=True)
        subprocess.run(["sed", "-i", expression, os.path.join(copy, file)], check=True)
        if open(os.path.join(copy, file)).read() == open(os.path.join(TOOLS, file)).read():
            fail(case, "expected %s to change %s, got it the same" % (expression, file))
        if (read(copy) == read(TOOLS)) != stays:
            fail(case, "expected %s after %s on %s, got %s" % ("the same" if stays else "another", expression, file,
                                                              read(copy).strip()))


# A stand-in guest: beats twenty times a second, with a row whose processor time grows until it ends
# 130 s of guest time later (slow: a beat each five guest seconds) or never grows (silent: a beat
# each guest second).
# As a console (make shell), it says what its shell read up to the input's end: a Ctrl-D at a line's start.
# Its state cannot be saved, except in the state stand-in, which saves one that no QEMU can load.
GUEST = """#!/usr/bin/env python3
import json, os, re, select, socket, subprocess, sys, time
io = next(re.search("path=(.*?),mount_tag=io", a).group(1) for a in sys.argv if "mount_tag=io" in a)
if "-incoming" in sys.argv:
    sys.exit("qemu-system-x86_64: load of migration failed: Invalid argument")
if os.path.exists(io + "/start"):
    if os.environ["STAND_IN_GUEST"] != "state":
        sys.exit(1)
    monitor = socket.socket(socket.AF_UNIX)
    monitor.bind(io + "/qmp")
    monitor.listen()
    print("pe32_init: ready to be saved", flush=True)
    while True:
        client = monitor.accept()[0].makefile("rw")
        client.write('{"QMP": {}}\\n')
        for line in client:
            command = json.loads(line)["execute"]
            if command == "migrate":  # as QEMU's exec: does
                subprocess.run(json.loads(line)["arguments"]["uri"][len("exec:"):], shell=True, input=b"memory")
            client.write(json.dumps({"return": {"status": "completed"}}) + "\\n")
            client.flush()
            if command == "quit":
                sys.exit(0)
if os.environ["STAND_IN_GUEST"] == "console":
    server = socket.socket(socket.AF_UNIX)
    server.bind(next(a.split("path=")[1] for a in sys.argv if a.startswith("socket,")))
    server.listen()
    console, text = server.accept()[0], b""
    time.sleep(2)  # booting: what comes meanwhile is lost, as on a serial line nobody has opened
    if select.select([console], [], [], 0)[0]:
        console.recv(65536)
    open(io + "/ready", "w").close()
    while not text.endswith(b"\\n\\x04"):
        text += console.recv(1)
    console.sendall(b"read: %r\\n" % text)
    for name in ("status.0", "status"):
        open(os.path.join(io, name), "w").write("0")
    sys.exit(0)
slow = os.environ["STAND_IN_GUEST"] in ("slow", "state")
for uptime in range(0, 100000, 5 if slow else 1):
    usage = uptime * slow
    open(io + "/beat.new", "w").write("%d.00\\n%d\\nbeat\\n" % (uptime, usage))
    os.rename(io + "/beat.new", io + "/beat")
    # Aside, then renamed: the machine's stop may kill this between any two steps.
    open(os.environ["STAND_IN_PIDS"] + ".uptime.new", "w").write(str(uptime))
    os.rename(os.environ["STAND_IN_PIDS"] + ".uptime.new", os.environ["STAND_IN_PIDS"] + ".uptime")
    if usage > 130:
        for name in ("status.0", "status"):
            open(os.path.join(io, name), "w").write("0")
        sys.exit(0)
    time.sleep(0.05)
"""


def check_guest(case, guest, status, said):
    """The machine stops a row that has gone silent, named, within its limit, and never one that works."""
    stand_in_cache(machine.key())
    env = dict(ENV, PATH=os.path.join(WORK, "guest") + ":" + ENV["PATH"], STAND_IN_GUEST=guest)
    done = subprocess.run([os.path.join(TOOLS, "pe32_machine.py"), "run", "--row", "row", "true"], env=env,
                          capture_output=True, text=True, timeout=60)
    uptime = int(open(ENV["STAND_IN_PIDS"] + ".uptime").read())
    if done.returncode != status or (said is not None and (done.stdout + done.stderr).count(said) != 1):
        fail(case, "expected status %d and %r once, got %d and %r" % (status, said, done.returncode, done.stdout + done.stderr))
    # Beyond the limit, three looks of the machine's at most (half a second, ten guest seconds, each):
    # the first that sees a beat, and two for the one that finds the silence over.
    if status and uptime > machine.ROW_SILENCE + 30:
        fail(case, "expected it stopped within %d guest seconds, got it stopped after %d" % (machine.ROW_SILENCE, uptime))


def check_console():
    """make shell's input, piped at once, reaches the shell whole once it reads, however early it came,
    and its end ends the machine only then."""
    case = "a shell's input piped before its prompt"
    stand_in_cache(machine.key())
    env = dict(ENV, PATH=os.path.join(WORK, "guest") + ":" + ENV["PATH"], STAND_IN_GUEST="console")
    try:
        done = subprocess.run([os.path.join(TOOLS, "pe32_machine.py"), "shell", machine.windows_rows()[0][0]], env=env,
                              input="echo one\necho two", capture_output=True, text=True, timeout=30)
    except subprocess.TimeoutExpired:
        return fail(case, "expected the machine to end once its shell had read the input, got no end within 30 s")
    if done.returncode != 0 or "read: b'echo one\\necho two\\n\\x04'" not in done.stdout:
        fail(case, "expected status 0 and both lines read, the last ended, got %s and %r" % (done.returncode, done.stdout + done.stderr))


def check_evidence():
    """A failing command's session keeps its output and what changed in the prefix, and says where (a
    passing one keeps nothing: the signed twin's walk in release_test)."""
    case, evidence = "a failure's evidence", os.path.join(WORK, "failed", "row")
    done = subprocess.run([os.path.join(TOOLS, "wine_session.sh"), "--virtual-display", "--evidence", evidence, os.path.join(WORK, "prefix"),
                           "sh", "-c", 'mkdir "$WINEPREFIX/drive_c/made"; echo told; exit 3'], capture_output=True, text=True,
                          timeout=300, env=USER_ENV)
    kept = {name: open(os.path.join(evidence, name)).read() for name in os.listdir(evidence)} if os.path.isdir(evidence) else {}
    if done.returncode != 3 or kept.get("output.txt") != "told\n" or "./made\n" not in kept.get("prefix.txt", "") or evidence not in done.stdout:
        fail(case, "expected status 3, its output and C:\\made kept, and their folder named, got %d, %s and %r"
             % (done.returncode, kept, done.stdout))


def pe_layout(data):
    """A PE file as Wine loads it: the bytes before its header (Wine's own files mark themselves
    there), its file alignment, and each section's name, header and contents."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count, _, symbols, symbol_count, optional_size = struct.unpack_from("<HIIIH", data, pe + 6)
    sections = {}
    for at in range(pe + 24 + optional_size, pe + 24 + optional_size + 40 * count, 40):
        name = data[at:at + 8].rstrip(b"\0")
        if name.startswith(b"/"):  # a longer name, in the string table after the symbols
            name = data[symbols + 18 * symbol_count + int(name[1:]):].split(b"\0")[0]
        virtual, _, raw, start = struct.unpack_from("<IIII", data, at + 8)
        sections[name] = (data[at:at + 40], data[start:start + min(virtual, raw)])
    return data[:pe], struct.unpack_from("<I", data, pe + 24 + 36)[0], sections


def check_strip():
    """The image's hook on Wine's PE files in the guest's root: their debugging information gone,
    every other section the same header and bytes, the header before the PE signature too, and the
    file aligned as before; a file that is no PE or has no such information left as it is."""
    # A folder of the guest's root, and a file the host has for it: Wine's own, or the toolchain's.
    samples = {"/usr/lib/x86_64-linux-gnu/wine/x86_64-windows": sorted(glob.glob("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/*.dll"))[0],
               "/usr/lib/i386-linux-gnu/wine/i386-windows": sorted(glob.glob("/usr/lib/gcc/i686-w64-mingw32/*/*.dll"))[0]}
    root = os.path.join(WORK, "root")
    subprocess.run(["rm", "-rf", root])
    for folder, sample in samples.items():
        os.makedirs(root + folder)
        shutil.copy(sample, root + folder)
    # What must be left as it is: no PE, and a PE without debugging information (the toolchain's strip's).
    text, stripped = root + folder + "/text.dll", root + folder + "/stripped.dll"
    open(text, "wb").write(b"no PE\n")
    subprocess.run(["i686-w64-mingw32-strip", "--strip-debug", "-o", stripped, sample], check=True)
    alone = {path: open(path, "rb").read() for path in (text, stripped)}
    # As mmdebstrap runs a hook: under sh, the root as $1.
    done = subprocess.run(["sh", "-c", machine.strip_hook().split("=", 1)[1], "exec", root], capture_output=True, text=True)
    if done.returncode:
        return fail("Wine's files stripped", "expected status 0, got %d: %s" % (done.returncode, done.stderr[-400:]))
    for folder, sample in samples.items():
        head, alignment, sections = pe_layout(open(sample, "rb").read())
        kept = {section: both for section, both in sections.items() if not section.startswith(b".debug")}
        got = pe_layout(open(root + folder + "/" + os.path.basename(sample), "rb").read())
        if kept == sections or got != (head, alignment, kept):
            fail(os.path.basename(sample), "expected, of sections %s, the same head, alignment %d and sections %s, each its header and bytes, got "
                 "alignment %d, sections %s, %s" % (list(sections), alignment, list(kept), got[1], list(got[2]),
                                                    "the same" if got[2] == kept else "not all the same"))
    for path, data in alone.items():
        if open(path, "rb").read() != data:
            fail(os.path.basename(path), "expected it left as it is, got it changed")


def main():
    os.makedirs(os.path.join(WORK, "bin"), exist_ok=True)
    # Each waits for a child as mmdebstrap does (a TERM to it alone is only noted), and shows its pid
    # whole once its child runs: a stop that came earlier would find no child to end.
    for name in ("qemu-system-x86_64", "mmdebstrap"):
        with open(os.path.join(WORK, "bin", name), "w") as stand_in:
            stand_in.write('#!/bin/sh\ntrap "echo noted" TERM\nsleep 300 & child=$!\necho $$ >"$STAND_IN_PIDS.new"\n'
                           'mv "$STAND_IN_PIDS.new" "$STAND_IN_PIDS"\nwhile kill -0 $child 2>/dev/null; do wait $child; done\n')
        os.chmod(os.path.join(WORK, "bin", name), 0o755)
    os.makedirs(os.path.join(WORK, "guest"), exist_ok=True)
    with open(os.path.join(WORK, "guest", "qemu-system-x86_64"), "w") as stand_in:
        stand_in.write(GUEST)
    os.chmod(os.path.join(WORK, "guest", "qemu-system-x86_64"), 0o755)
    guests = [
        # case                                          stand-in  status  what the machine says (None: the status alone)
        ("a slow row that keeps working, by its status", "slow",   0,      None),
        ("a row that goes silent",         "silent", 1,      "row 'row' has used no processor time and printed nothing"),
        ("a saved state that does not load", "state", 0,     "making the saved state again"),
    ]
    terms = [("a TERM while the machine runs", ["run", "true"], True), ("a TERM while the image is made", ["image"], False)]
    checks = [("two versions at once", check_two_versions), ("a removal stopped at each step", check_stopped_removal),
              ("the image's key", check_key), ("Wine's files stripped", check_strip), ("a failure's evidence", check_evidence), ("a shell's input", check_console)] + [(term[0], lambda t=term: check_term(*t)) for term in terms] + \
        [(guest[0], lambda g=guest: check_guest(*g)) for guest in guests]
    status = run(checks)
    subprocess.run(["rm", "-rf", WORK])
    return status


if __name__ == "__main__":
    sys.exit(main())
