#!/usr/bin/env python3
"""`make dist`: lays the release folder, and with a product folder the complete release, packed.

usage: release.py files SCRIPT                   the product files the script installs, one a line
       release.py check SCRIPT PRINT_PAGE        the script and the summary page agree
       release.py dist --setup EXE --script INF --print-page TOOL --out DIR [--product DIR]

`dist` lays OUT/dist: setup.exe and the script, BUILDINFO naming the tools that made setup.exe, and
PACKAGING.txt naming the product files; or, with --product, the product files themselves and
SHA256SUMS, and then OUT/quibel43.zip and OUT/quibel43.zip.sha256 too. OUT is a link to a folder
that holds all of that: the new release is made in a folder beside it and the link is swapped in
one step, so that OUT always names one whole release.

setup.exe is signed (SHA-256 Authenticode, by osslsigncode) when the environment names a key:
SIGN_CERT (PEM, may hold the chain) with SIGN_KEY (PEM), or SIGN_PKCS12 with SIGN_PASS_FILE, the
file that holds its password (it also opens an encrypted SIGN_KEY); SIGN_TIMESTAMP, a timestamp
server's URL. Signing time and zip times: SOURCE_DATE_EPOCH, else the last commit's time.
"""
import fcntl
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


def fields(line):
    """The comma-separated fields of an INF line, unquoted ("" inside quotes stands for one quote)."""
    result, field, quoted, i = [], "", False, 0
    while i < len(line):
        if line[i] == '"' and quoted and line[i + 1:i + 2] == '"':
            field, i = field + '"', i + 1
        elif line[i] == '"':
            quoted = not quoted
        elif line[i] == "," and not quoted:
            result, field = result + [field.strip()], ""
        else:
            field += line[i]
        i += 1
    return result + [field.strip()]


def directive(s, section, name):
    """The sections that a directive (say UpdateInis=) of a section names."""
    for line in s.get(section.lower(), []):
        key, _, value = line.partition("=")
        if key.strip().lower() == name.lower():
            return [v.strip() for v in value.split(",")]
    return []


def estimated_size_problems(s, promised_bytes):
    """Add/Remove Programs' EstimatedSize (KiB, a DWORD given as four bytes) against the page's promise."""
    want = -(-promised_bytes // 1024)
    found = [f for lines in s.values() for f in map(fields, lines) if len(f) > 3 and f[2].lower() == "estimatedsize"]
    if not found:
        return ["no AddReg line writes EstimatedSize; the summary page promises %s bytes, %d KiB"
                % (format(promised_bytes, ","), want)]
    problems = []
    for f in found:
        try:
            got = int.from_bytes(bytes(int(b, 16) for b in f[4:]), "little") if len(f) == 8 else None
        except ValueError:
            got = None
        if got != want:
            problems.append("EstimatedSize is %s; expected %d KiB as four bytes (%s), the summary page's %s bytes "
                            "rounded up" % (", ".join(f[3:]), want, ", ".join("%02x" % b for b in want.to_bytes(4, "little")),
                                            format(promised_bytes, ",")))
    return problems


def group_lines_problems(s):
    """The 9x uninstall removes exactly the setup.ini lines that the 9x install adds, values and all, in
    the delete form: the old entry and no new one."""
    added = [f for section in directive(s, "DefaultInstall", "UpdateInis") for f in map(fields, s.get(section.lower(), []))]
    removers = [name for name in s if name != "defaultinstall" and directive(s, name, "UpdateInis")]
    removed = [f for name in removers for section in directive(s, name, "UpdateInis")
               for f in map(fields, s.get(section.lower(), []))]
    problems = ["[DefaultInstall] adds %r, not in the add form (no old entry, a new one)" % ", ".join(f)
                for f in added if len(f) != 4 or f[2] or not f[3]]
    problems += ["%r is not in the delete form (an old entry and no new one)" % ", ".join(f)
                 for f in removed if len(f) != 3 or not f[2]]
    want = sorted(f[:2] + f[3:] for f in added)
    if not problems and sorted(removed) != want:
        problems.append("the 9x uninstall (%s) removes %s; expected exactly what [DefaultInstall] adds: %s"
                        % (", ".join(removers) or "nothing", [", ".join(f) for f in sorted(removed)],
                           [", ".join(f) for f in want]))
    return problems


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
        cert, key = open_pkcs12(env["SIGN_PKCS12"], passin)
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


def open_pkcs12(path, passin):
    """The certificate and key in a PKCS#12 file. Files exported by older Windows and CAs are encrypted
    with RC2-40 or 3DES, which OpenSSL 3 opens only with its legacy provider, as osslsigncode does."""
    for legacy in ([], ["-legacy"]):
        ok, cert, why = run("openssl", "pkcs12", "-in", path, "-nokeys", "-clcerts", *legacy, *passin)
        if ok:
            ok, key, why = run("openssl", "pkcs12", "-in", path, "-nocerts", "-nodes", *legacy, *passin)
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
            # The archive bit alone, as Windows tools set it; left 0, Python fills in Unix mode bits.
            info.external_attr = 0x20
            z.writestr(info, open(os.path.join(folder, name), "rb").read(), compresslevel=9)


def package_of(path):
    """The Debian package that holds a file, and its version."""
    owner = run("dpkg-query", "-S", os.path.realpath(path))[1].decode().split(":")[0]
    version = run("dpkg-query", "-W", "-f", "${Version}", owner)[1].decode() if owner else ""
    return "%s %s" % (owner, version) if version else "not known"


def tool_version(tool):
    """A tool's own version line and the Debian package it comes from, with that package's version."""
    path = shutil.which(tool) or tool
    said = run(path, "--version")[1].decode(errors="replace").splitlines() if os.path.exists(path) else []
    return "%s; package %s" % (said[0].strip() if said else tool + ": not found", package_of(path))


def build_info(setup, signing):
    """What fixes setup.exe's bytes: the same sources give the same bytes only from the same tools.
    They are the tools of the build tree setup.exe comes from, as CMake found them (build-tools.txt)."""
    path = os.path.join(os.path.dirname(os.path.abspath(setup)), "build-tools.txt")
    cache = dict(line.strip().split("=", 1) for line in open(path) if "=" in line) if os.path.isfile(path) else {}
    release = dict(line.strip().split("=", 1) for line in open("/etc/os-release") if "=" in line)
    debian = open("/etc/debian_version").read().strip() if os.path.isfile("/etc/debian_version") else "none"
    lines = ["Quibel32 4.3 release: what made setup.exe. The same sources give the same bytes with these tools.",
             "system: %s, Debian version %s" % (release.get("PRETTY_NAME", "unknown").strip('"'), debian)]
    compiler = cache.get("compiler")
    for label in ("compiler", "binutils", "windres"):
        lines.append("%s: %s" % (label, tool_version(cache[label]) if label in cache else "not known (no build-tools.txt beside setup.exe)"))
    if compiler:  # the import libraries and headers shape the file too
        library = run(compiler, "-print-file-name=libkernel32.a")[1].decode().strip()
        lines.append("mingw-w64 runtime: package " + package_of(library))
    if signing:
        lines.append("osslsigncode: " + tool_version("osslsigncode"))
    return "\n".join(lines) + "\n"


def lay(folder, setup, script, names, found, signing, epoch):
    """The release folder: setup.exe (signed when asked), the script, BUILDINFO, and the product files
    with SHA256SUMS, or PACKAGING.txt where there are none."""
    dist = os.path.join(folder, "dist")
    os.mkdir(dist)
    if signing:
        sign(setup, os.path.join(dist, "setup.exe"), signing, epoch)
    else:
        shutil.copyfile(setup, os.path.join(dist, "setup.exe"))
    shutil.copyfile(script, os.path.join(dist, os.path.basename(script)))
    with open(os.path.join(dist, "BUILDINFO"), "w", newline="\r\n") as f:
        f.write(build_info(setup, signing))
    if found is None:
        with open(os.path.join(dist, "PACKAGING.txt"), "w", newline="\r\n") as note:
            note.write("Quibel32 4.3 release folder\n\n"
                       "Put these %d product files beside setup.exe and quibel43.inf before shipping;\n"
                       "quibel43.inf copies them into the program folder:\n\n" % len(names))
            note.writelines("  %s\n" % name for name in names)
        return
    for name, path in found.items():
        shutil.copyfile(path, os.path.join(dist, name))  # under the script's spelling
    with open(os.path.join(dist, "SHA256SUMS"), "w", newline="\n") as sums:
        for name in sorted(os.listdir(dist)):
            if name != "SHA256SUMS":
                sums.write("%s  %s\n" % (sha256(os.path.join(dist, name)), name))
    write_zip(dist, os.path.join(folder, "quibel43.zip"), epoch)
    with open(os.path.join(folder, "quibel43.zip.sha256"), "w", newline="\n") as f:
        f.write("%s  quibel43.zip\n" % sha256(os.path.join(folder, "quibel43.zip")))


def publish(folder, out):
    """Points OUT at the new release folder in one rename, then removes the folders of earlier or
    stopped runs. A stop at any moment leaves OUT on one whole release, the old or the new."""
    link = folder + ".link"
    os.symlink(os.path.basename(folder), link)
    os.replace(link, out)
    prefix = "." + os.path.basename(out) + "-"
    for entry in os.listdir(os.path.dirname(out)):
        if entry.startswith(prefix) and entry != os.path.basename(folder):
            path = os.path.join(os.path.dirname(out), entry)
            shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.remove(path)


def dist(setup, script, print_page, out, product):
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = os.path.abspath(out)
    names, problems = script_files(script)
    promised_count, promised_bytes = promise(print_page)
    if problems:
        refuse("the script's file lists disagree:", *problems)
    if len(names) != promised_count:
        refuse("the summary page promises %d files; the script installs %d" % (promised_count, len(names)))
    if os.path.lexists(out) and not os.path.islink(out):
        refuse("%s is not a release this tool made (a release is a link to its folder); move it away" % out)
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

    os.makedirs(os.path.dirname(out), exist_ok=True)
    # One release at a time: a second run waits here for the first to finish.
    with open(os.path.join(os.path.dirname(out), "." + os.path.basename(out) + ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        folder = tempfile.mkdtemp(prefix="." + os.path.basename(out) + "-", dir=os.path.dirname(out))
        umask = os.umask(0)
        os.umask(umask)
        try:
            os.chmod(folder, 0o777 & ~umask)  # a release folder like any other, not mkdtemp's private one
            lay(folder, setup, script, names, found, signing, epoch)
        except BaseException:
            shutil.rmtree(folder, ignore_errors=True)
            raise
        publish(folder, out)

    for name in extra or []:
        print("release: warning: %s is in %s but not named by the script; not shipped" % (name, product), file=sys.stderr)
    print("%s/dist: setup.exe (%s), %s, BUILDINFO" % (out, "signed: " + signing["subject"] if signing else "not signed",
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
        count, size = promise(argv[3])
        s = sections(argv[2])
        rules = [("the file lists agree", problems),
                 ("the page's file count", [] if len(names) == count else
                  ["the summary page promises %d files; [%s] names %d" % (count, PRODUCT_SECTIONS[0], len(names))]),
                 ("EstimatedSize is the page's bytes", estimated_size_problems(s, size)),
                 ("the 9x uninstall removes the 9x group lines", group_lines_problems(s))]
        for rule, broken in rules:
            print("%s %s" % ("FAIL" if broken else "ok  ", rule))
            for problem in broken:
                print("       " + problem)
        failed = sum(1 for _, broken in rules if broken)
        print("%d passed, %d failed" % (len(rules) - failed, failed))
        return 1 if failed else 0
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
