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
import shlex
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
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
    """The signing named in the environment, checked before anything is laid; None when nothing is to
    be signed. One way: a key file (SIGN_CERT with SIGN_KEY, or SIGN_PKCS12), a key in a token or HSM
    (SIGN_PKCS11_MODULE with SIGN_PKCS11_KEY and SIGN_CERT), or a signing service's client
    (SIGN_COMMAND with SIGN_CERT)."""
    env = {name: os.environ.get(name) or None for name in ("SIGN_CERT", "SIGN_KEY", "SIGN_PKCS12", "SIGN_PASS_FILE",
                                                           "SIGN_TIMESTAMP", "SIGN_PKCS11_MODULE", "SIGN_PKCS11_KEY", "SIGN_COMMAND")}
    module, uri, command = env["SIGN_PKCS11_MODULE"], env["SIGN_PKCS11_KEY"], env["SIGN_COMMAND"]
    ways = [way for way, given in (("SIGN_KEY", env["SIGN_KEY"]), ("SIGN_PKCS12", env["SIGN_PKCS12"]),
                                   ("SIGN_PKCS11_MODULE", module or uri), ("SIGN_COMMAND", command)) if given]
    if not ways and not env["SIGN_CERT"]:
        if env["SIGN_PASS_FILE"] or env["SIGN_TIMESTAMP"]:
            refuse("SIGN_PASS_FILE or SIGN_TIMESTAMP is set, but no key to sign with (SIGN_CERT and SIGN_KEY, or SIGN_PKCS12)")
        return None
    for wrong, why in (
            (env["SIGN_PKCS12"] and (env["SIGN_CERT"] or env["SIGN_KEY"]), "give SIGN_PKCS12 or SIGN_CERT with SIGN_KEY, not both"),
            (len(ways) > 1, "give one way to sign, not %s" % " and ".join(ways)),
            (env["SIGN_CERT"] and not ways, "SIGN_CERT is set without SIGN_KEY, SIGN_PKCS11_KEY or SIGN_COMMAND"),
            (ways and not env["SIGN_PKCS12"] and not env["SIGN_CERT"], "%s needs SIGN_CERT, the certificate with its chain" % (ways or ["-"])[0]),
            (bool(module) != bool(uri), "SIGN_PKCS11_MODULE and SIGN_PKCS11_KEY go together"),
            (env["SIGN_PKCS12"] and not env["SIGN_PASS_FILE"], "SIGN_PKCS12 needs SIGN_PASS_FILE, the file of its password"),
            (module and not env["SIGN_PASS_FILE"], "SIGN_PKCS11_MODULE needs SIGN_PASS_FILE, the file of the token's PIN"),
            (uri and not uri.startswith("pkcs11:"), "SIGN_PKCS11_KEY %s is not a pkcs11: URI (RFC 7512)" % uri),
            # A URI is seen on command lines, which any user may list.
            (uri and any(w in uri.lower() for w in ("pin-value", "pin-source")), "SIGN_PKCS11_KEY holds a PIN: put it in SIGN_PASS_FILE"),
            (command and (env["SIGN_PASS_FILE"] or env["SIGN_TIMESTAMP"]), "SIGN_COMMAND signs by itself: it takes no SIGN_PASS_FILE or SIGN_TIMESTAMP")):
        if wrong:
            refuse(why)
    try:
        program = os.path.basename(shlex.split(command)[0]) if command else None
    except (ValueError, IndexError) as e:
        refuse("SIGN_COMMAND %r is no command line: %s" % (command, e or "it is empty"))
    for name in ("SIGN_CERT", "SIGN_KEY", "SIGN_PKCS12", "SIGN_PASS_FILE", "SIGN_PKCS11_MODULE"):
        if env[name] and not (os.path.isfile(env[name]) and os.access(env[name], os.R_OK)):
            refuse("%s: %s is not a file that can be read" % (name, env[name]))
    if not shutil.which("osslsigncode"):  # Debian 12's, 2.5, is the oldest that has -time and -readpass
        refuse("signing needs osslsigncode: apt-get install osslsigncode")

    passin = ["-passin", "file:" + env["SIGN_PASS_FILE"]] if env["SIGN_PASS_FILE"] else ["-passin", "pass:"]
    if env["SIGN_PKCS12"]:
        cert, key = open_pkcs12(env["SIGN_PKCS12"], passin)
    else:
        cert = open(env["SIGN_CERT"], "rb").read()
    ok, cert_public, why = run_tool("openssl", "x509", "-noout", "-pubkey", data=cert)
    if not ok:
        refuse("no certificate can be read from %s: %s" % (env["SIGN_CERT"] or env["SIGN_PKCS12"], why))
    if env["SIGN_KEY"]:
        ok, key, why = run_tool("openssl", "pkey", "-in", env["SIGN_KEY"], *passin)
        if not ok:
            refuse("SIGN_KEY %s cannot be read as a private key (an encrypted key needs its password in "
                   "SIGN_PASS_FILE): %s" % (env["SIGN_KEY"], why.splitlines()[-1] if why else ""))
    # Refused, not warned: Windows rejects the signature of a certificate whose extended key usage
    # leaves out code signing, so the release would only look signed.
    usage = run_tool("openssl", "x509", "-noout", "-ext", "extendedKeyUsage", data=cert)[1].decode()
    if "Code Signing" not in usage:
        refuse("the certificate is not for code signing (extended key usage: %s)"
               % (usage.split("\n", 1)[1].strip() if "\n" in usage else "none"))
    if module:
        token_public = token_public_key(module, uri, env["SIGN_PASS_FILE"])
        if token_public != cert_public:
            refuse("the certificate SIGN_CERT is not the key's: the public key the token holds at %s is another" % uri)
    elif not command and cert_public != run_tool("openssl", "pkey", "-pubout", data=key)[1]:
        refuse("the private key does not belong to the certificate: a signature made with it would not verify")
    subject = run_tool("openssl", "x509", "-noout", "-subject", "-nameopt", "oneline", data=cert)[1].decode().strip()
    der = run_tool("openssl", "x509", "-outform", "DER", data=cert)[1]
    return dict(env, subject=subject, fingerprint=hashlib.sha256(der).hexdigest(),
                how="by the signing command %s" % program if command else
                "by the key at %s through the PKCS#11 module %s" % (uri, module) if module else
                "by a key file (%s)" % ways[0])


def token_public_key(module, uri, pin_file):
    """The public key of the private key at URI in a token, read through OpenSSL's PKCS#11 engine, as
    osslsigncode reaches it, with one login: a wrong PIN is never tried again, since a token locks
    after a few. The PIN goes from its file to the engine, never on a command line."""
    engines = run_tool("openssl", "version", "-e")[1].decode().partition('"')[2].rstrip('"\n')
    if not os.path.isfile(os.path.join(engines, "pkcs11.so")):
        refuse("signing through a PKCS#11 module needs OpenSSL's PKCS#11 engine, which is not in %s: "
               "apt-get install libengine-pkcs11-openssl" % engines)
    with tempfile.NamedTemporaryFile("w", suffix=".cnf") as conf:
        # OpenSSL's configuration expands $ and takes \ as an escape.
        conf.write("openssl_conf = init\n[init]\nengines = engines\n[engines]\npkcs11 = pkcs11\n[pkcs11]\n"
                   "engine_id = pkcs11\nMODULE_PATH = %s\ninit = 0\n" % module.replace("\\", "\\\\").replace("$", "\\$"))
        conf.flush()
        done = subprocess.run(["openssl", "pkey", "-engine", "pkcs11", "-inform", "ENGINE", "-in", uri,
                               "-passin", "file:" + pin_file, "-pubout"], capture_output=True, stdin=subprocess.DEVNULL,
                              env=dict(os.environ, OPENSSL_CONF=conf.name))
    why = done.stderr.decode(errors="replace")
    for words, refusal in (("Unable to load PKCS#11 module", "SIGN_PKCS11_MODULE %s cannot be loaded as a PKCS#11 module" % module),
                           ("PIN incorrect", "the token refused the PIN in SIGN_PASS_FILE: it was tried once and not "
                                             "again, since a token locks after a few wrong PINs"),
                           ("PIN locked", "the token's PIN is locked: unlock it with the token's own tools"),
                           ("object not found", "no private key at SIGN_PKCS11_KEY %s" % uri)):
        if words in why:
            refuse(refusal)
    public = done.stdout[done.stdout.find(b"-----BEGIN"):]
    if done.returncode or not public:
        refuse("no key can be read at SIGN_PKCS11_KEY %s through %s: %s" % (uri, module, why.strip().splitlines()[-1:]))
    return public


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
    if signing["SIGN_COMMAND"]:
        return sign_by_command(setup, signed, signing)
    command = ["osslsigncode", "sign", "-h", "sha256", "-n", product + " Setup", "-time", str(epoch)]
    if signing["SIGN_PKCS12"]:
        command += ["-pkcs12", signing["SIGN_PKCS12"], "-readpass", signing["SIGN_PASS_FILE"]]
    elif signing["SIGN_PKCS11_MODULE"]:
        command += ["-pkcs11module", signing["SIGN_PKCS11_MODULE"], "-certs", signing["SIGN_CERT"],
                    "-key", signing["SIGN_PKCS11_KEY"], "-readpass", signing["SIGN_PASS_FILE"]]
    else:
        command += ["-certs", signing["SIGN_CERT"], "-key", signing["SIGN_KEY"]]
        command += ["-readpass", signing["SIGN_PASS_FILE"]] if signing["SIGN_PASS_FILE"] else []
    command += ["-ts", signing["SIGN_TIMESTAMP"]] if signing["SIGN_TIMESTAMP"] else []
    ok, out, why = run_tool(*command, "-in", setup, "-out", signed)
    if not ok or not os.path.isfile(signed):
        why = (why or out.decode(errors="replace")).strip().splitlines()
        refuse("signing %s failed%s: %s" % (setup, " (is the timestamp server %s reachable?)" % signing["SIGN_TIMESTAMP"]
                                            if signing["SIGN_TIMESTAMP"] else "", why[-1] if why else "no reason given"))


def sign_by_command(setup, signed, signing):
    """SIGN_COMMAND with the path of a copy of setup.exe after it, which it signs in place, as signing
    services' clients do. Taken only when the copy's signature verifies, its signer is SIGN_CERT's
    certificate, and without the signature it is setup.exe byte for byte."""
    shutil.copyfile(setup, signed)
    try:
        done = subprocess.run(shlex.split(signing["SIGN_COMMAND"]) + [signed], capture_output=True, stdin=subprocess.DEVNULL)
        status, said = done.returncode, (done.stdout + done.stderr).decode(errors="replace").strip()
    except OSError as e:
        status, said = 127, str(e)
    # The certificate as its own chain's anchor, or the system's roots above it.
    with tempfile.NamedTemporaryFile("wb", suffix=".pem") as anchors:
        anchors.write(open(signing["SIGN_CERT"], "rb").read())
        system = "/etc/ssl/certs/ca-certificates.crt"
        anchors.write(open(system, "rb").read() if os.path.isfile(system) else b"")
        anchors.flush()
        verify = ["osslsigncode", "verify", "-in", signed, "-CAfile", anchors.name]
        # Revocation is the CA's to tell on Windows, and its lists may not be reachable from here.
        usage = run_tool("osslsigncode", "verify", "-help")
        verify += ["-ignore-cdp"] if b"-ignore-cdp" in usage[1] or "-ignore-cdp" in usage[2] else []
        checks = [
            (lambda: status == 0, "it failed (status %d)" % status),
            (lambda: run_tool(*verify)[0], "it has no signature that verifies to SIGN_CERT's chain"),
            (lambda: run_tool(*verify, "-require-leaf-hash", "sha256:" + signing["fingerprint"])[0],
             "its signer is not SIGN_CERT's certificate (%s)" % signing["subject"]),
            (lambda: is_signed_copy(open(signed, "rb").read(), open(setup, "rb").read()),
             "with its signature removed it is not setup.exe as built: more than the checksum and the certificate table's entry changed")]
        for holds, why in checks:
            if not holds():
                refuse("the signing command's setup.exe is refused: %s. The command said:%s"
                       % (why, "".join("\n  | " + line for line in said.splitlines()) or " nothing"))


def is_signed_copy(signed, unsigned):
    """Whether SIGNED is UNSIGNED with a signature and nothing else: a certificate table at its end,
    after up to seven bytes of padding, and only the checksum and the table's directory entry changed."""
    def blank(data):
        header = struct.unpack_from("<I", data, 0x3C)[0] + 24
        entry = header + (112 if struct.unpack_from("<H", data, header)[0] == 0x20B else 96) + 4 * 8
        blanked = bytearray(data)
        blanked[header + 64:header + 68] = bytes(4)
        blanked[entry:entry + 8] = bytes(8)
        return blanked, struct.unpack_from("<II", data, entry)
    try:
        (body, (offset, size)), (plain, _) = blank(signed), blank(unsigned)
    except (struct.error, IndexError):
        return False
    padding = body[len(plain):offset]
    return bool(size) and offset + size == len(body) and body[:len(plain)] == plain and len(padding) < 8 and not any(padding)


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
             "system: " + system.get("PRETTY_NAME", "unknown").strip('"'),
             "setup.exe as built, unsigned: sha256 " + sha256(setup)]
    for label in ("compiler", "binutils", "windres"):
        lines.append("%s: %s" % (label, tool_version(found[label]) if label in found else "not known (no build-tools.txt)"))
    if "compiler" in found:  # the import libraries and headers shape the file too
        library = run_tool(found["compiler"], "-print-file-name=libkernel32.a")[1].decode().strip()
        lines.append("mingw-w64 runtime: package " + package_of(library))
    if signing:
        lines += ["osslsigncode: " + tool_version("osslsigncode"), "signed: " + signing["how"],
                  "signer: %s; certificate sha256 %s" % (signing["subject"], signing["fingerprint"])]
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
