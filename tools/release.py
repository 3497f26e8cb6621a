#!/usr/bin/env python3
"""`make dist`: lays the release folder, and with a product folder the complete release, packed.

usage: release.py files SCRIPT                   the product files the script installs, one a line
       release.py check SCRIPT PRINT_PAGE        the script and the summary page agree
       release.py dist --setup EXE --script INF --print-page TOOL --out DIR [--product DIR]

`dist` lays OUT/dist: setup.exe and the script, with PACKAGING.txt naming the product files; or,
with --product, the product files themselves and SHA256SUMS, and then OUT/quibel43.zip and
OUT/quibel43.zip.sha256 too. The new release is made aside and replaces the old one only whole.

setup.exe is signed (SHA-256 Authenticode, by osslsigncode) when the environment names a key:
SIGN_CERT (PEM, may hold the chain) with SIGN_KEY (PEM), or SIGN_PKCS12 with SIGN_PASS_FILE, the
file that holds its password (it also opens an encrypted SIGN_KEY); SIGN_TIMESTAMP, a timestamp
server's URL. Signing time and zip times: SOURCE_DATE_EPOCH, else the last commit's time.
"""
import hashlib
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import zipfile

PRODUCT_SECTIONS = ("Quibel.Program", "Quibel.Program.9x")
ZIP_EPOCH_MIN = 315532800  # zip times start in 1980
OSSLSIGNCODE_MIN = (2, 5)  # Debian 12's; -time and -readpass are there


def refuse(*problems):
    for problem in problems:
        print("release: " + problem, file=sys.stderr)
    sys.exit(1)


def sections(script):
    """The lines of each section of an INF file, by lower-case name, without comments."""
    result, current = {}, None
    for raw in open(script, encoding="latin-1"):
        line = raw.split(";", 1)[0].strip()
        if line.startswith("[") and line.endswith("]"):
            current = result.setdefault(line[1:-1].lower(), [])
        elif line and current is not None:
            current.append(line)
    return result


def script_files(script):
    """The product files the script installs, and what is wrong with its lists of them."""
    s = sections(script)
    lists = {name: s.get(name.lower(), []) for name in PRODUCT_SECTIONS}
    lists["SourceDisksFiles"] = [line.split("=")[0].strip() for line in s.get("sourcedisksfiles", [])]
    names = lists[PRODUCT_SECTIONS[0]]
    expected = {n.lower() for n in names}
    problems = []
    for section, listed in lists.items():
        want = expected | ({os.path.basename(script).lower()} if section == "SourceDisksFiles" else set())
        got = [n.lower() for n in listed]
        if sorted(got) != sorted(want):
            problems.append("[%s] names %s; expected %s" % (section, ", ".join(sorted(got)) or "nothing",
                                                             ", ".join(sorted(want))))
    return names, problems


def promise(print_page):
    """The file count and bytes that the summary page promises the user."""
    text = subprocess.run([print_page, "1"], capture_output=True, check=True).stdout.decode("ascii")
    found = re.search(r"Copy (\d+) files \(([\d,]+) bytes\)", text)
    if not found:
        refuse("the summary page promises no file count and size: %r" % text[:120])
    return int(found.group(1)), int(found.group(2).replace(",", ""))


def kind(mode):
    return ("a directory" if stat.S_ISDIR(mode) else "a FIFO" if stat.S_ISFIFO(mode) else
            "a socket" if stat.S_ISSOCK(mode) else "a device" if stat.S_ISCHR(mode) or stat.S_ISBLK(mode) else
            "not a regular file")


def gather(product, names):
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
            problems.append("%s is %s, not a file to ship" % (path, kind(mode)))
            continue
        found[name] = path
    wanted = {n.lower() for n in names}
    extra = [e for lower, entries in sorted(by_lower.items()) if lower not in wanted for e in entries]
    return found, extra, problems


def source_epoch(top):
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    last = subprocess.run(["git", "-C", top, "log", "-1", "--format=%ct"], capture_output=True, text=True)
    if last.returncode or not last.stdout.strip():
        refuse("no SOURCE_DATE_EPOCH and no git history to take the release's time from: set SOURCE_DATE_EPOCH")
    return int(last.stdout)


# ---- Signing ----------------------------------------------------------------------------------

def run(*command, data=None):
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
    if env["SIGN_PKCS12"] and (env["SIGN_CERT"] or env["SIGN_KEY"]):
        refuse("give either SIGN_PKCS12 or SIGN_CERT with SIGN_KEY, not both")
    if env["SIGN_CERT"] and not env["SIGN_KEY"]:
        refuse("SIGN_CERT is set without SIGN_KEY: a certificate cannot sign without its private key")
    if env["SIGN_KEY"] and not env["SIGN_CERT"]:
        refuse("SIGN_KEY is set without SIGN_CERT, the certificate that goes with it")
    if env["SIGN_PKCS12"] and not env["SIGN_PASS_FILE"]:
        refuse("SIGN_PKCS12 needs SIGN_PASS_FILE, a file that holds its password")
    for name in ("SIGN_CERT", "SIGN_KEY", "SIGN_PKCS12", "SIGN_PASS_FILE"):
        if env[name] and not (os.path.isfile(env[name]) and os.access(env[name], os.R_OK)):
            refuse("%s: %s is not a file that can be read" % (name, env[name]))
    version = run("osslsigncode", "--version")[1].decode(errors="replace") if shutil.which("osslsigncode") else ""
    found = re.match(r"osslsigncode (\d+)\.(\d+)", version)
    if not found or tuple(map(int, found.groups())) < OSSLSIGNCODE_MIN:
        refuse("signing needs osslsigncode %d.%d or later (apt-get install osslsigncode); found %s"
               % (OSSLSIGNCODE_MIN + ((version.splitlines() or ["none"])[0],)))

    passin = ["-passin", "file:" + env["SIGN_PASS_FILE"]] if env["SIGN_PASS_FILE"] else ["-passin", "pass:"]
    if env["SIGN_PKCS12"]:
        ok, cert, why = run("openssl", "pkcs12", "-in", env["SIGN_PKCS12"], "-nokeys", "-clcerts", *passin)
        ok = ok and b"CERTIFICATE" in cert
        if ok:
            ok, key, why = run("openssl", "pkcs12", "-in", env["SIGN_PKCS12"], "-nocerts", "-nodes", *passin)
            ok = ok and b"PRIVATE KEY" in key
        if not ok:
            refuse("SIGN_PKCS12 %s cannot be opened with the password in SIGN_PASS_FILE, or holds no certificate "
                   "and key: %s" % (env["SIGN_PKCS12"], why.splitlines()[-1] if why else "nothing in it"))
    else:
        cert = open(env["SIGN_CERT"], "rb").read()
        ok, key, why = run("openssl", "pkey", "-in", env["SIGN_KEY"], *passin)
        if not ok:
            refuse("SIGN_KEY %s cannot be read as a private key (an encrypted key needs its password in "
                   "SIGN_PASS_FILE): %s" % (env["SIGN_KEY"], why.splitlines()[-1] if why else ""))
    ok, cert_public, why = run("openssl", "x509", "-noout", "-pubkey", data=cert)
    if not ok:
        refuse("no certificate can be read from %s: %s" % (env["SIGN_CERT"] or env["SIGN_PKCS12"], why))
    key_public = run("openssl", "pkey", "-pubout", data=key)[1]
    if cert_public != key_public:
        refuse("the private key does not belong to the certificate: a signature made with it would not verify")
    # Refused, not warned: Windows rejects the signature of a certificate whose extended key usage
    # leaves out code signing, so the release would only look signed.
    usage = run("openssl", "x509", "-noout", "-ext", "extendedKeyUsage", data=cert)[1].decode()
    if "Code Signing" not in usage:
        refuse("the certificate is not for code signing (extended key usage: %s)"
               % (usage.split("\n", 1)[1].strip() if "\n" in usage else "none"))
    subject = run("openssl", "x509", "-noout", "-subject", "-nameopt", "oneline", data=cert)[1].decode().strip()
    return dict(env, subject=subject)


def sign(setup, signed, signing, epoch):
    command = ["osslsigncode", "sign", "-h", "sha256", "-n", "Quibel32 4.3 Setup", "-time", str(epoch)]
    if signing["SIGN_PKCS12"]:
        command += ["-pkcs12", signing["SIGN_PKCS12"], "-readpass", signing["SIGN_PASS_FILE"]]
    else:
        command += ["-certs", signing["SIGN_CERT"], "-key", signing["SIGN_KEY"]]
        command += ["-readpass", signing["SIGN_PASS_FILE"]] if signing["SIGN_PASS_FILE"] else []
    command += ["-ts", signing["SIGN_TIMESTAMP"]] if signing["SIGN_TIMESTAMP"] else []
    ok, out, why = run(*command, "-in", setup, "-out", signed)
    if not ok or not os.path.isfile(signed):
        why = (why or out.decode(errors="replace")).strip().splitlines()
        refuse("signing %s failed%s: %s" % (setup, " (is the timestamp server %s reachable?)" % signing["SIGN_TIMESTAMP"]
                                            if signing["SIGN_TIMESTAMP"] else "", why[-1] if why else "no reason given"))


# ---- The release ------------------------------------------------------------------------------

def sha256(path):
    return hashlib.sha256(open(path, "rb").read()).hexdigest()


def write_zip(folder, path, epoch):
    """The folder as one zip, the same bytes every time: sorted names, one fixed time, no owner or
    mode bits and no extra fields from this machine."""
    when = time.gmtime(max(epoch, ZIP_EPOCH_MIN))[:6]
    with zipfile.ZipFile(path, "w") as z:
        for name in sorted(os.listdir(folder)):
            info = zipfile.ZipInfo("quibel43/" + name, when)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0  # MS-DOS attributes, as a Windows tool would write them
            info.external_attr = 0
            z.writestr(info, open(os.path.join(folder, name), "rb").read(), compresslevel=9)


def dist(setup, script, print_page, out, product):
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    names, problems = script_files(script)
    promised_count, promised_bytes = promise(print_page)
    if problems:
        refuse("the script's file lists disagree:", *problems)
    if len(names) != promised_count:
        refuse("the summary page promises %d files; the script installs %d" % (promised_count, len(names)))
    found = extra = None
    if product:
        if not os.path.isdir(product):
            refuse("PRODUCT %s is not a folder" % product)
        found, extra, problems = gather(product, names)
        if problems:
            refuse(*problems)
        size = sum(os.path.getsize(path) for path in found.values())
        if size != promised_bytes:
            refuse("the product files add up to %s bytes; the summary page promises %s (%d files)"
                   % (format(size, ","), format(promised_bytes, ","), promised_count))
    signing = signing_input()
    epoch = source_epoch(top)

    os.makedirs(out, exist_ok=True)
    work = tempfile.mkdtemp(prefix=".release-", dir=out)
    try:
        folder = os.path.join(work, "dist")
        os.mkdir(folder)
        if signing:
            sign(setup, os.path.join(folder, "setup.exe"), signing, epoch)
        else:
            shutil.copyfile(setup, os.path.join(folder, "setup.exe"))
        shutil.copyfile(script, os.path.join(folder, os.path.basename(script)))
        if product:
            for name, path in found.items():
                shutil.copyfile(path, os.path.join(folder, name))  # under the script's spelling
            with open(os.path.join(folder, "SHA256SUMS"), "w", newline="\n") as sums:
                for name in sorted(os.listdir(folder)):
                    if name != "SHA256SUMS":
                        sums.write("%s  %s\n" % (sha256(os.path.join(folder, name)), name))
            write_zip(folder, os.path.join(work, "quibel43.zip"), epoch)
            with open(os.path.join(work, "quibel43.zip.sha256"), "w", newline="\n") as f:
                f.write("%s  quibel43.zip\n" % sha256(os.path.join(work, "quibel43.zip")))
        else:
            with open(os.path.join(folder, "PACKAGING.txt"), "w", newline="\r\n") as note:
                note.write("Quibel32 4.3 release folder\n\n"
                           "Put these %d product files beside setup.exe and quibel43.inf before shipping;\n"
                           "quibel43.inf copies them into the program folder:\n\n" % len(names))
                note.writelines("  %s\n" % name for name in names)
        # Complete: now it replaces the previous release.
        shutil.rmtree(os.path.join(out, "dist"), ignore_errors=True)
        os.rename(folder, os.path.join(out, "dist"))
        for name in ("quibel43.zip", "quibel43.zip.sha256"):
            if product:
                os.replace(os.path.join(work, name), os.path.join(out, name))
            elif os.path.exists(os.path.join(out, name)):
                os.remove(os.path.join(out, name))  # it would not match the folder laid now
    finally:
        shutil.rmtree(work, ignore_errors=True)

    for name in extra or []:
        print("release: warning: %s is in %s but not named by the script; not shipped" % (name, product), file=sys.stderr)
    print("%s/dist: setup.exe (%s), %s" % (out, "signed: " + signing["subject"] if signing else "not signed",
                                           "the script and %d product files, SHA256SUMS" % len(names) if product
                                           else "the script and PACKAGING.txt"))
    if product:
        print("%s/quibel43.zip: sha256 %s" % (out, sha256(os.path.join(out, "quibel43.zip"))))


def main(argv):
    if len(argv) == 3 and argv[1] == "files":
        print("\n".join(script_files(argv[2])[0]))
        return 0
    if len(argv) == 4 and argv[1] == "check":
        names, problems = script_files(argv[2])
        count = promise(argv[3])[0]
        if len(names) != count:
            problems.append("the summary page promises %d files; [%s] names %d" % (count, PRODUCT_SECTIONS[0], len(names)))
        for problem in problems:
            print("FAIL " + problem)
        print("%d passed, %d failed" % (len(PRODUCT_SECTIONS) + 2 - len(problems), len(problems)))
        return 1 if problems else 0
    options = dict(zip(argv[2::2], argv[3::2]))
    if len(argv) < 2 or argv[1] != "dist" or len(argv) % 2 or \
            not {"--setup", "--script", "--print-page", "--out"} <= set(options) <= \
            {"--setup", "--script", "--print-page", "--out", "--product"}:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    dist(options["--setup"], options["--script"], options["--print-page"], options["--out"], options.get("--product"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
