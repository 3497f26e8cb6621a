#!/usr/bin/env python3
"""The release, `make dist`: lays the release folder, and with a product folder the complete release,
packed (docs/release.md). Beside it, deploy.py writes the quiet install; install_script.py holds the
script to its rules. OUT is a link into OUT's own folder of releases beside it, .OUT.releases: each
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

ZIP_EPOCH_MIN = 315532800  # zip times start in 1980


def refuse(*problems):
    sys.exit("\n".join("release: " + problem for problem in problems))


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


def run_tool(*command, data=None):
    """Whether a tool succeeded, its output and its error text."""
    done = subprocess.run(command, input=data, capture_output=True, stdin=None if data else subprocess.DEVNULL)
    return done.returncode == 0, done.stdout, done.stderr.decode(errors="replace").strip()


def signing_input():
    """The signing files named in the environment, checked; None when nothing is to be signed."""
    env = {name: os.environ.get(name) or None
           for name in ("SIGN_CERT", "SIGN_KEY", "SIGN_PKCS12", "SIGN_PASS_FILE", "SIGN_TIMESTAMP")}
    if not (env["SIGN_CERT"] or env["SIGN_KEY"] or env["SIGN_PKCS12"]):
        if env["SIGN_PASS_FILE"] or env["SIGN_TIMESTAMP"]:
            refuse("SIGN_PASS_FILE or SIGN_TIMESTAMP is set, but no key to sign with (SIGN_CERT and SIGN_KEY, or SIGN_PKCS12)")
        return None
    for wrong, why in (
            (env["SIGN_PKCS12"] and (env["SIGN_CERT"] or env["SIGN_KEY"]), "give SIGN_PKCS12 or SIGN_CERT with SIGN_KEY, not both"),
            (bool(env["SIGN_CERT"]) != bool(env["SIGN_KEY"]), "SIGN_CERT is set without SIGN_KEY, or SIGN_KEY without SIGN_CERT"),
            (env["SIGN_PKCS12"] and not env["SIGN_PASS_FILE"], "SIGN_PKCS12 needs SIGN_PASS_FILE, the file of its password")):
        if wrong:
            refuse(why)
    for name in ("SIGN_CERT", "SIGN_KEY", "SIGN_PKCS12", "SIGN_PASS_FILE"):
        if env[name] and not (os.path.isfile(env[name]) and os.access(env[name], os.R_OK)):
            refuse("%s: %s is not a file that can be read" % (name, env[name]))
    if not shutil.which("osslsigncode"):  # Debian 12's, 2.5, is the oldest that has -time and -readpass
        refuse("signing needs osslsigncode: apt-get install osslsigncode")

    passin = ["-passin", "file:" + env["SIGN_PASS_FILE"]] if env["SIGN_PASS_FILE"] else ["-passin", "pass:"]
    if env["SIGN_PKCS12"]:
        cert, key = open_pkcs12(env["SIGN_PKCS12"], passin)
    else:
        cert = open(env["SIGN_CERT"], "rb").read()
        ok, key, why = run_tool("openssl", "pkey", "-in", env["SIGN_KEY"], *passin)
        if not ok:
            refuse("SIGN_KEY %s cannot be read as a private key (an encrypted key needs its password in "
                   "SIGN_PASS_FILE): %s" % (env["SIGN_KEY"], why.splitlines()[-1] if why else ""))
    ok, cert_public, why = run_tool("openssl", "x509", "-noout", "-pubkey", data=cert)
    if not ok:
        refuse("no certificate can be read from %s: %s" % (env["SIGN_CERT"] or env["SIGN_PKCS12"], why))
    if cert_public != run_tool("openssl", "pkey", "-pubout", data=key)[1]:
        refuse("the private key does not belong to the certificate: a signature made with it would not verify")
    # Refused, not warned: Windows rejects the signature of a certificate whose extended key usage
    # leaves out code signing, so the release would only look signed.
    usage = run_tool("openssl", "x509", "-noout", "-ext", "extendedKeyUsage", data=cert)[1].decode()
    if "Code Signing" not in usage:
        refuse("the certificate is not for code signing (extended key usage: %s)"
               % (usage.split("\n", 1)[1].strip() if "\n" in usage else "none"))
    subject = run_tool("openssl", "x509", "-noout", "-subject", "-nameopt", "oneline", data=cert)[1]
    return dict(env, subject=subject.decode().strip())


def open_pkcs12(path, passin):
    """The certificate and key in a PKCS#12 file. Files exported by older Windows and CAs are encrypted
    with RC2-40 or 3DES, which OpenSSL 3 opens only with its legacy provider, as osslsigncode does."""
    for legacy in ([], ["-legacy"]):
        ok, cert, why = run_tool("openssl", "pkcs12", "-in", path, "-nokeys", "-clcerts", *legacy, *passin)
        if ok:
            ok, key, why = run_tool("openssl", "pkcs12", "-in", path, "-nocerts", "-nodes", *legacy, *passin)
        if ok and b"CERTIFICATE" in cert and b"PRIVATE KEY" in key:
            return cert, key
        # The password is checked (the file's MAC) before anything is decrypted.
        if "invalid password" in why or "mac verify" in why.lower():
            refuse("SIGN_PKCS12 %s: the password in SIGN_PASS_FILE is wrong (the file's integrity check fails "
                   "with it)" % path)
        if ok or "unsupported" not in why:
            break
    refuse("SIGN_PKCS12 %s cannot be opened, or holds no certificate and key: %s"
           % (path, why.splitlines()[-1] if why else "nothing in it"))


def sign(setup, signed, signing, epoch, product):
    command = ["osslsigncode", "sign", "-h", "sha256", "-n", product + " Setup", "-time", str(epoch)]
    if signing["SIGN_PKCS12"]:
        command += ["-pkcs12", signing["SIGN_PKCS12"], "-readpass", signing["SIGN_PASS_FILE"]]
    else:
        command += ["-certs", signing["SIGN_CERT"], "-key", signing["SIGN_KEY"]]
        command += ["-readpass", signing["SIGN_PASS_FILE"]] if signing["SIGN_PASS_FILE"] else []
    command += ["-ts", signing["SIGN_TIMESTAMP"]] if signing["SIGN_TIMESTAMP"] else []
    ok, out, why = run_tool(*command, "-in", setup, "-out", signed)
    if not ok or not os.path.isfile(signed):
        why = (why or out.decode(errors="replace")).strip().splitlines()
        refuse("signing %s failed%s: %s" % (setup, " (is the timestamp server %s reachable?)" % signing["SIGN_TIMESTAMP"]
                                            if signing["SIGN_TIMESTAMP"] else "", why[-1] if why else "no reason given"))


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


def tool_version(tool):
    """A tool's own version line and the Debian package it comes from, with that package's version."""
    path = shutil.which(tool) or tool
    said = run_tool(path, "--version")[1].decode(errors="replace").splitlines() if os.path.exists(path) else []
    return "%s; package %s" % (said[0].strip() if said else tool + ": not found", package_of(path))


def package_of(path):
    """The Debian package that holds a file, and its version."""
    owner = run_tool("dpkg-query", "-S", os.path.realpath(path))[1].decode().split(":")[0]
    version = run_tool("dpkg-query", "-W", "-f", "${Version}", owner)[1].decode() if owner else ""
    return "%s %s" % (owner, version) if version else "not known"


def build_info(setup, signing, product):
    """What fixes setup.exe's bytes: the tools of the build tree it comes from, as CMake found them
    (build-tools.txt), and the Debian release they come from. A point release that leaves them as
    they are changes nothing, and is not named."""
    path = os.path.join(os.path.dirname(os.path.abspath(setup)), "build-tools.txt")
    found = dict(line.strip().split("=", 1) for line in open(path) if "=" in line) if os.path.isfile(path) else {}
    system = dict(line.strip().split("=", 1) for line in open("/etc/os-release") if "=" in line)
    lines = [product + " release: what made setup.exe. The same sources give the same bytes with these tools.",
             "system: " + system.get("PRETTY_NAME", "unknown").strip('"')]
    for label in ("compiler", "binutils", "windres"):
        lines.append("%s: %s" % (label, tool_version(found[label]) if label in found else "not known (no build-tools.txt)"))
    if "compiler" in found:  # the import libraries and headers shape the file too
        library = run_tool(found["compiler"], "-print-file-name=libkernel32.a")[1].decode().strip()
        lines.append("mingw-w64 runtime: package " + package_of(library))
    if signing:
        lines.append("osslsigncode: " + tool_version("osslsigncode"))
    return "\n".join(lines) + "\n"


def lay_script(folder, script):
    """The script and what it keeps beside it for the uninstall, with deploy.cmd and DEPLOY.txt, the
    quiet install, for every file the script names."""
    kept = install_script.kept_files(script)
    for name in kept:
        shutil.copyfile(os.path.join(os.path.dirname(script), name), os.path.join(folder, name))
    for name, text in deploy.texts(script).items():
        with open(os.path.join(folder, name), "w", newline="\r\n") as f:
            f.write(text)


def lay_release(folder, args, names, found, signing, epoch):
    """The release in FOLDER: dist/ with setup.exe (signed when asked), the script, the quiet install,
    BUILDINFO, and the product files with SHA256SUMS, or PACKAGING.txt where there are none; and the
    zip of dist/."""
    dist = os.path.join(folder, "dist")
    os.mkdir(dist)
    facts, script = deploy.facts(args.script), os.path.basename(args.script)
    product, packed = "%s %s" % (facts["name"], facts["version"]), os.path.join(folder, zip_name(script))
    if signing:
        sign(args.setup, os.path.join(dist, "setup.exe"), signing, epoch, product)
    else:
        shutil.copyfile(args.setup, os.path.join(dist, "setup.exe"))
    lay_script(dist, args.script)
    with open(os.path.join(dist, "BUILDINFO"), "w", newline="\r\n") as f:
        f.write(build_info(args.setup, signing, product))
    if found is None:
        with open(os.path.join(dist, "PACKAGING.txt"), "w", newline="\r\n") as note:
            note.write("%s release folder\n\n"
                       "Put these %d product files beside setup.exe and %s before shipping;\n"
                       "%s copies them into the program folder:\n\n" % (product, len(names), script, script))
            note.writelines("  %s\n" % name for name in names)
        return
    for name, path in found.items():
        shutil.copyfile(path, os.path.join(dist, name))  # under the script's spelling
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
    signing = signing_input()
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
