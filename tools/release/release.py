#!/usr/bin/env python3
"""The release, `make dist`: lays the release folder, and with a product folder the complete release,
packed (docs/release.md). Beside it, deploy.py writes the quiet install; install_script.py holds the
script to its rules; sign.py signs setup.exe. OUT is a link into OUT's own folder of releases beside it, .OUT.releases: each
release is made whole there and the link swapped to it in one step, and a clean-up touches nothing
else. setup.exe is signed when the environment names a key (SIGN_*); times are SOURCE_DATE_EPOCH or
the last commit's."""
import argparse
import fcntl
import hashlib
import os
import shutil
import stat
import subprocess
import sys
import time
import zipfile

import deploy
import install_script
import sign
from sign import refuse, run_tool

ZIP_EPOCH_MIN = 315532800  # zip times start in 1980


def find_product_files(product, names):
    """Where each named file is in the product folder (Windows names ignore case), the files there
    that the script does not name, and what cannot be shipped."""
    by_lower = {}
    for entry in sorted(os.listdir(product)):
        by_lower.setdefault(entry.lower(), []).append(entry)
    found, problems = {}, []
    for name in names:
        entries = by_lower.get(name.lower(), [])
        if not entries:
            problems.append("%s is missing from %s" % (name, product))
            continue
        if len(entries) > 1:
            problems.append("%s differ only in case: Windows takes them for one file, %s" % (" and ".join(entries), name))
            continue
        path = os.path.join(product, entries[0])
        try:
            mode = os.stat(path).st_mode  # follows a link: a link to a regular file is fine
        except OSError as e:
            problems.append("%s cannot be read: %s" % (path, e.strerror))
            continue
        if not stat.S_ISREG(mode):
            problems.append("%s is %s, not a file to ship" % (path, "a directory" if stat.S_ISDIR(mode) else
                                                               "a FIFO" if stat.S_ISFIFO(mode) else "not a regular file"))
            continue
        found[name] = path
    wanted = {n.lower() for n in names}
    extra = [e for lower, entries in sorted(by_lower.items()) if lower not in wanted for e in entries]
    return found, extra, problems


def release_epoch():
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    top = os.path.dirname(os.path.abspath(__file__))  # within the checkout
    last = subprocess.run(["git", "-C", top, "log", "-1", "--format=%ct"], capture_output=True, text=True)
    if last.returncode or not last.stdout.strip():
        refuse("no SOURCE_DATE_EPOCH and no git history to take the release's time from: set SOURCE_DATE_EPOCH")
    return int(last.stdout)


def sha256(path):
    return hashlib.sha256(open(path, "rb").read()).hexdigest()


def zip_name(script):
    """The release's zip, named as the script."""
    return os.path.splitext(os.path.basename(script))[0] + ".zip"


def write_zip(folder, path, epoch):
    """The folder as one zip, its entries in a folder of the zip's name, the same bytes every time:
    sorted names, one fixed time, no owner or mode bits and no extra fields from this machine."""
    when = time.gmtime(max(epoch, ZIP_EPOCH_MIN))[:6]
    with zipfile.ZipFile(path, "w") as z:
        for name in sorted(os.listdir(folder)):
            info = zipfile.ZipInfo(os.path.splitext(os.path.basename(path))[0] + "/" + name, when)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0  # MS-DOS attributes, as a Windows tool would write them
            # The archive bit alone, as Windows tools set it; left 0, Python fills in Unix mode bits.
            info.external_attr = 0x20
            z.writestr(info, open(os.path.join(folder, name), "rb").read(), compresslevel=9)


def build_info(unsigned, setup, signing, product):
    """BUILDINFO: the record the build wrote beside setup.exe, taken only when its SHA-256 is that of
    the bytes signed and laid, and who signed them."""
    path = os.path.join(os.path.dirname(os.path.abspath(setup)), "BUILDINFO")
    record = open(path).read() if os.path.isfile(path) else ""
    if "setup.exe as built, unsigned: sha256 %s\n" % hashlib.sha256(unsigned).hexdigest() not in record:
        refuse("%s is not the record of %s as it is now: build it again (make)" % (path, setup))
    lines = [product + " release: what made setup.exe. The same sources give the same bytes with these tools.\n" + record]
    if signing:
        if not signing["SIGN_COMMAND"]:
            done = run_tool("osslsigncode", "--version")
            lines.append("signing tool: " + (done[1].decode(errors="replace").splitlines() or ["osslsigncode"])[0].strip())
        lines += ["signed: " + signing["how"],
                  "signer: %s; certificate sha256 %s" % (signing["subject"], signing["fingerprint"])]
    return "\n".join(lines).rstrip("\n") + "\n"


def lay_script(folder, script, sizes=None):
    """The script and what it keeps beside it for the uninstall, with deploy.cmd and DEPLOY.txt, the
    quiet install, for every file the script names. SIZES, the product files' sizes in FOLDER, become
    deploy.cmd's record of the release, with the kept files' own; without it deploy.cmd knows the
    release is incomplete."""
    kept = install_script.kept_files(script)
    for name in kept:
        shutil.copyfile(os.path.join(os.path.dirname(script), name), os.path.join(folder, name))
    if sizes is not None:
        sizes = dict(sizes, **{name: os.path.getsize(os.path.join(folder, name)) for name in kept})
    for name, text in deploy.texts(script, sizes).items():
        with open(os.path.join(folder, name), "w", newline="") as f:  # in the CR LF lines of their templates
            f.write(text)


def lay_release(folder, args, names, found, signing, epoch):
    """The release in FOLDER: dist/ with setup.exe (signed when asked), the script, the quiet install,
    BUILDINFO, and the product files with SHA256SUMS, or PACKAGING.txt where there are none; and the
    zip of dist/. setup.exe is read once: those bytes are what is signed, hashed and laid."""
    dist = os.path.join(folder, "dist")
    os.mkdir(dist)
    facts, script = deploy.facts(args.script), os.path.basename(args.script)
    product, packed = "%s %s" % (facts["name"], facts["version"]), os.path.join(folder, zip_name(script))
    unsigned = open(args.setup, "rb").read()
    info = build_info(unsigned, args.setup, signing, product)
    with open(os.path.join(dist, "setup.exe"), "wb") as f:
        f.write(sign.signed_setup(unsigned, signing, epoch, product) if signing else unsigned)
    for name, path in (found or {}).items():
        shutil.copyfile(path, os.path.join(dist, name))  # under the script's spelling
    lay_script(dist, args.script, {name: os.path.getsize(os.path.join(dist, name)) for name in found} if found else None)
    with open(os.path.join(dist, "BUILDINFO"), "w", newline="\r\n") as f:
        f.write(info)
    laid = {"setup.exe", "BUILDINFO", script, "deploy.cmd", "DEPLOY.txt", *install_script.kept_files(args.script)}
    if found is None:
        with open(os.path.join(dist, "PACKAGING.txt"), "w", newline="\r\n") as note:
            note.write("%s release folder\n\n"
                       "Put these %d product files beside setup.exe and %s before shipping;\n"
                       "%s copies them into the program folder:\n\n" % (product, len(names), script, script))
            note.writelines("  %s\n" % name for name in names)
    # Only what the release lays goes into its sums and its zip.
    strangers = sorted(set(os.listdir(dist)) ^ (laid | set(found or ["PACKAGING.txt"])))
    if strangers:
        refuse("dist/ holds %s, which the release does not lay (or lacks it): nothing was published" % ", ".join(strangers))
    if found is None:
        return
    with open(os.path.join(dist, "SHA256SUMS"), "w", newline="\n") as sums:
        for name in sorted(os.listdir(dist)):
            if name != "SHA256SUMS":
                sums.write("%s  %s\n" % (sha256(os.path.join(dist, name)), name))
    write_zip(dist, packed, epoch)
    with open(packed + ".sha256", "w", newline="\n") as f:
        f.write("%s  %s\n" % (sha256(packed), os.path.basename(packed)))


def publish(folder, out):
    """Points OUT at the new release FOLDER in one rename, so that a stop at any moment leaves it on one
    whole release, then removes the rest of OUT's own folder of releases (older ones, leftovers)."""
    releases = os.path.dirname(folder)
    link = folder + ".link"
    os.symlink(os.path.relpath(folder, os.path.dirname(out)), link)
    os.replace(link, out)
    for entry in os.listdir(releases):
        path = os.path.join(releases, entry)
        if path != folder and entry != "lock":
            shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.remove(path)


def dist(args):
    out = os.path.abspath(args.out)
    problems = [problem for _, broken in install_script.rules(args.script, args.print_page) for problem in broken]
    if problems:
        refuse("the script and the summary page disagree:", *problems)
    names = install_script.product_files(args.script)[0]
    promised_count, promised_bytes = install_script.summary_promise(args.print_page)
    if os.path.lexists(out) and not os.path.islink(out):
        refuse("%s is not a release this tool made (a release is a link to its folder); move it away" % out)
    found = extra = None
    if args.product:
        if not os.path.isdir(args.product):
            refuse("PRODUCT %s is not a folder" % args.product)
        found, extra, problems = find_product_files(args.product, names)
        if problems:
            refuse(*problems)
        size = sum(os.path.getsize(path) for path in found.values())
        if size != promised_bytes:
            refuse("the product files add up to %s bytes; the summary page promises %s (%d files)"
                   % (format(size, ","), format(promised_bytes, ","), promised_count))
    signing = sign.signing_input()
    epoch = release_epoch()

    releases = os.path.join(os.path.dirname(out), "." + os.path.basename(out) + ".releases")
    os.makedirs(releases, exist_ok=True)
    # One release at a time: a second run waits here for the first to finish.
    with open(os.path.join(releases, "lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        # A new name under the lock, in the umask's mode; what a refusal or a stop leaves of it goes
        # with the next release.
        folder = os.path.join(releases, str(time.time_ns()))
        os.mkdir(folder)
        lay_release(folder, args, names, found, signing, epoch)
        publish(folder, out)

    for name in extra or []:
        print("release: warning: %s is in %s but not named by the script; not shipped" % (name, args.product), file=sys.stderr)
    print("%s/dist: setup.exe (%s), %s, deploy.cmd and DEPLOY.txt, BUILDINFO"
          % (out, "signed: " + signing["subject"] if signing else "not signed",
             "the script and %d product files, SHA256SUMS" % len(names) if found else "the script and PACKAGING.txt"))
    if found:
        print("%s/%s: sha256 %s" % (out, zip_name(args.script), sha256(os.path.join(out, zip_name(args.script)))))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in ("--setup", "--script", "--print-page", "--out"):
        parser.add_argument(option, required=True)
    parser.add_argument("--product", help="the folder of the product files")
    return dist(parser.parse_args()) or 0


if __name__ == "__main__":
    sys.exit(main())
