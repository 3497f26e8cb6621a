#!/usr/bin/env python3
"""`make dist` as a packager uses it: refusals that leave the last release alone, the complete
release and its zip, a release stopped at each of its steps, signing with PEM and PKCS#12 files,
through a PKCS#11 token of the test's own (SoftHSM2) and by a signing command with the token behind
it, and with a timestamp from an authority of the test's own, and the signed x86-64 twin under Wine.

usage: release_test.py SOURCE_DIR BUILD_DIR WORK_DIR   (BUILD_DIR holds win32/, win64/ and host/)
"""
import hashlib
import http.server
import os
import re
import shlex
import shutil
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

from checks import fail, run, stopped_before

SOURCE, BUILD, WORK = (os.path.abspath(a) for a in sys.argv[1:4])
sys.path.insert(0, os.path.join(SOURCE, "tools", "release"))
import install_script  # noqa: E402
import check_pe  # noqa: E402
SETUP = os.path.join(BUILD, "win32", "setup.exe")
PROMISED_BYTES = 4051770
PRODUCT = ["quibel32.exe", "quibel32.hlp", "quibel32.cnt", "stations.dat", "harmonic.dat",
           "currents.dat", "coasts.dat", "tzones.dat", "readme.txt", "license.txt"]
EPOCH = "1100000000"


def path(*parts):
    return os.path.join(WORK, *parts)


def digest(p):
    return hashlib.sha256(open(p, "rb").read()).hexdigest() if os.path.isfile(p) else "none"


def release(out, product=None, setup=SETUP, script=None, stop=None, **env):
    """Runs release.py; with `stop`, stopped as a kill would before that step."""
    stopping = stopped_before(stop or 0, "mkdir", "rename", "replace", "remove", "symlink", "rmtree")
    command = [sys.executable, *(["-c", stopping] if stop else []),
               os.path.join(SOURCE, "tools", "release", "release.py"), "--setup", setup,
               "--script", script or os.path.join(SOURCE, "quibel43.inf"),
               "--print-page", os.path.join(BUILD, "host", "print_page"), "--out", out]
    command += ["--product", product] if product else []
    environment = {k: v for k, v in os.environ.items() if not k.startswith("SIGN_")}
    environment.update(SOURCE_DATE_EPOCH=EPOCH, **env)
    try:  # a FIFO that is read would hang here: the time limit makes that a failure
        done = subprocess.run(command, capture_output=True, text=True, env=environment, timeout=120)
    except subprocess.TimeoutExpired:
        return 124, "timed out"
    return done.returncode, done.stdout + done.stderr


def make_product(folder, sizes=None):
    """The ten files, adding up to what the summary page promises."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for n, name in enumerate(PRODUCT):
        size = 1000 + n if n < len(PRODUCT) - 1 else PROMISED_BYTES - sum(1000 + k for k in range(len(PRODUCT) - 1))
        with open(os.path.join(folder, name), "wb") as f:
            f.write(bytes((n * 7 + i) % 251 for i in range(size)))
    return folder


def state(out):
    """What a release holds, to tell whether anything changed."""
    folder = os.path.join(out, "dist")
    files = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    return [(f, digest(os.path.join(folder, f))) for f in files] + \
        [(f, digest(os.path.join(out, f))) for f in ("quibel43.zip", "quibel43.zip.sha256")]


def osslsigncode(*args):
    done = subprocess.run(["osslsigncode", *args], capture_output=True, text=True)
    return done.returncode == 0, (done.stdout + done.stderr).strip()


def make_keys():
    keys = path("keys")
    os.makedirs(keys)
    for name, usage in (("signer", "codeSigning"), ("other", "codeSigning"), ("web", "serverAuth"),
                        ("tsa", "critical, timeStamping")):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                        "-keyout", os.path.join(keys, name + ".key"), "-out", os.path.join(keys, name + ".pem"),
                        "-subj", "/CN=Quibel test " + name, "-addext", "extendedKeyUsage=" + usage],
                       check=True, capture_output=True)
    with open(os.path.join(keys, "pass"), "w") as f:
        f.write("tide tables\n")
    for name, legacy in (("signer.p12", []), ("signer-rc2.p12", ["-legacy"])):  # RC2-40, as older Windows exports
        subprocess.run(["openssl", "pkcs12", "-export", *legacy, "-in", os.path.join(keys, "signer.pem"),
                        "-inkey", os.path.join(keys, "signer.key"), "-out", os.path.join(keys, name),
                        "-passout", "file:" + os.path.join(keys, "pass")], check=True, capture_output=True)
    key = lambda name: os.path.join(keys, name)  # noqa: E731
    # A token in a folder of its own, its key made inside it, reached through a module that counts logins.
    open(key("softhsm2.conf"), "w").write("directories.tokendir = %s\n" % keys)
    os.environ.update(SOFTHSM2_CONF=key("softhsm2.conf"), REAL_MODULE="/usr/lib/softhsm/libsofthsm2.so", LOGINS=key("logins"))
    open(key("wrong pin"), "w").write("0000\n")
    for command in (["softhsm2-util", "--init-token", "--free", "--label", "quibel", "--pin", "tide tables", "--so-pin", "0000"],
                    ["pkcs11-tool", "--module", os.environ["REAL_MODULE"], "--login", "--pin", "tide tables", "--keypairgen",
                     "--key-type", "rsa:2048", "--label", "signer", "--id", "01"],
                    ["pkcs11-tool", "--module", os.environ["REAL_MODULE"], "--read-object", "--type", "pubkey", "--id", "01", "-o", key("token.der")],
                    ["openssl", "pkey", "-pubin", "-inform", "DER", "-in", key("token.der"), "-out", key("token.pub")],
                    ["openssl", "pkey", "-in", key("other.key"), "-pubout", "-out", key("other.pub")],
                    ["g++", "-x", "c", "-shared", "-fPIC", "-o", key("counted.so"), os.path.join(SOURCE, "tests", "login_counter.c"), "-ldl"]):
        subprocess.run(command, check=True, capture_output=True)
    # The token's certificate and another key's, both issued by the signer, each with its chain.
    open(key("code"), "w").write("extendedKeyUsage=codeSigning\n")
    for name, public in (("token", "token.pub"), ("sibling", "other.pub")):
        subprocess.run(["openssl", "x509", "-new", "-force_pubkey", key(public), "-subj", "/CN=Quibel test " + name, "-days", "30",
                        "-CA", key("signer.pem"), "-CAkey", key("signer.key"), "-extfile", key("code"), "-out", key(name + ".pem")],
                       check=True, capture_output=True)
        open(key(name + ".chain"), "w").write(open(key(name + ".pem")).read() + open(key("signer.pem")).read())
    return key


TOKEN_KEY = "pkcs11:token=quibel;object=signer;type=private"


def token(key, **changes):
    return dict(dict(SIGN_PKCS11_MODULE=key("counted.so"), SIGN_PKCS11_KEY=TOKEN_KEY, SIGN_CERT=key("token.chain"),
                     SIGN_PASS_FILE=key("pass")), **changes)


def token_options(key):
    return ("-pkcs11module", os.environ["REAL_MODULE"], "-certs", key("token.chain"), "-key", TOKEN_KEY, "-readpass", key("pass"))


def by_command(key, *options, change_first=False, then=""):
    """SIGN_COMMAND as a signing service's client: it signs the file named after it in place, as
    release.py would, with the token or the key OPTIONS name; first it changes a byte of the code, if
    asked; THEN, shell with its own connector, runs after it."""
    script = ('printf X | dd of="$1" bs=1 seek=1040 conv=notrunc 2>/dev/null; ' if change_first else "") + \
        shlex.join(["osslsigncode", "sign", "-h", "sha256", "-n", "Quibel32 4.3 Setup", "-time", EPOCH,
                    *(options or token_options(key))]) + ' -in "$1" -out "$1.signed" && mv "$1.signed" "$1"' + then
    return dict(SIGN_COMMAND=shlex.join(["sh", "-c", script, "sign"]), SIGN_CERT=key("token.chain"))


def nest(key, *options):
    """The shell that adds a signature of the token's, or of OPTIONS, nested in the one made first."""
    return " && " + shlex.join(["osslsigncode", "sign", "-nest", "-h", "sha256", "-time", EPOCH, *(options or token_options(key))]) + \
        ' -in "$1" -out "$1.nested" && mv "$1.nested" "$1"'


# 400 zero bytes inside the certificate table's entry, after the signature, which Windows ignores
# unless EnableCertPaddingCheck is set.
PAD = ("import struct, sys; p = sys.argv[1]; d = bytearray(open(p, 'rb').read()); "
       "e = struct.unpack_from('<I', d, 60)[0] + 24 + 96 + 32; o, n = struct.unpack_from('<II', d, e); "
       "d += bytes(400); struct.pack_into('<II', d, e, o, n + 400); struct.pack_into('<I', d, o, n + 400); open(p, 'wb').write(d)")


def check_refusals(key):
    out = path("out")
    good = make_product(path("product"))
    code, text = release(out, good)
    if code:
        return fail("a good release", "expected it laid, got: " + text)
    before = state(out)

    def fifo(p):
        os.remove(p)
        os.mkfifo(p)

    def directory(p):
        os.remove(p)
        os.mkdir(p)

    def twin(p):
        shutil.copyfile(p, os.path.join(os.path.dirname(p), os.path.basename(p).upper()))

    def grow(p):
        open(p, "ab").write(b"x")

    def dangle(p):
        os.remove(p)
        os.symlink(p + ".gone", p)

    product_faults = [
        # case                               file           mutation               the message names
        ("a file missing",                   "tzones.dat",   os.remove,            "tzones.dat is missing"),
        ("a directory for a file",           "readme.txt",   directory,            "readme.txt is a directory"),
        ("a FIFO for a file",                "readme.txt",   fifo,                 "readme.txt is a FIFO"),
        ("a broken link for a file",         "readme.txt",   dangle,               "readme.txt cannot be read"),
        ("two names that differ in case",    "quibel32.exe", twin,                 "QUIBEL32.EXE and quibel32.exe differ only in case"),
        ("one byte more than promised",      "license.txt",  grow,                 "add up to 4,051,771 bytes; the summary page promises 4,051,770"),
    ]
    signing_faults = [
        # case                               environment                                                  the message names
        ("a certificate without its key",    dict(SIGN_CERT=key("signer.pem")),                            "without SIGN_KEY"),
        ("a key that does not match",        dict(SIGN_CERT=key("signer.pem"), SIGN_KEY=key("other.key")), "does not belong to the certificate"),
        ("a certificate not for code",       dict(SIGN_CERT=key("web.pem"), SIGN_KEY=key("web.key")),     "not for code signing (extended key usage: TLS Web Server"),
        ("PKCS#12 without a password file",  dict(SIGN_PKCS12=key("signer.p12")),                          "needs SIGN_PASS_FILE"),
        ("a password file that is not there", dict(SIGN_PKCS12=key("signer.p12"), SIGN_PASS_FILE=key("nope")), "SIGN_PASS_FILE: " + key("nope") + " is not a file"),
        ("a wrong password, RC2-40 file",    dict(SIGN_PKCS12=key("signer-rc2.p12"), SIGN_PASS_FILE=key("signer.pem")), "the password in SIGN_PASS_FILE is wrong"),
        ("an unreachable timestamp server",  dict(SIGN_CERT=key("signer.pem"), SIGN_KEY=key("signer.key"),
                                                  SIGN_TIMESTAMP="http://127.0.0.1:9/"),                   "is the timestamp server http://127.0.0.1:9/ reachable?"),
        # case                               environment                                                  the message names                  the token's logins
        ("a wrong PIN",                      token(key, SIGN_PASS_FILE=key("wrong pin")),                  "the token refused the PIN",         1),
        ("a URI that names no key",          token(key, SIGN_PKCS11_KEY=TOKEN_KEY.replace("signer", "nobody")), "no private key at SIGN_PKCS11_KEY", 1),
        ("a certificate of another key",     token(key, SIGN_CERT=key("signer.pem")),                      "SIGN_CERT is not the key's",        1),
        ("a module that is not one",         token(key, SIGN_PKCS11_MODULE=key("signer.pem")),             "cannot be loaded as a PKCS#11 module", 0),
        ("a signing command that fails",     dict(by_command(key), SIGN_COMMAND="sh -c 'echo the service is busy; exit 3'"),
                                                                                                          "failed (status 3). The command said:\n  | the service is busy"),
        ("a command that signs nothing",     dict(by_command(key), SIGN_COMMAND="true"),                   "no signature that verifies"),
        ("a command with another signer",    by_command(key, "-certs", key("sibling.chain"), "-key", key("other.key")), "signer is not SIGN_CERT's"),
        ("a command that changes the code",  by_command(key, change_first=True),                           "with its signature removed"),
        ("a stranger's signature, SIGN_CERT's nested", by_command(key, "-certs", key("other.pem"), "-key", key("other.key"), then=nest(key)),
                                                                                                          "signature 1 of 2 (the outer one) does not verify to SIGN_CERT's chain"),
        ("a stranger's signature nested",    by_command(key, then=nest(key, "-certs", key("other.pem"), "-key", key("other.key"))),
                                                                                                          "signature 2 of 2 (nested signature 1) does not verify"),
        ("an unauthenticated blob",          by_command(key, *token_options(key), "-addUnauthenticatedBlob"), "attribute 1.3.6.1.4.1.42921.1.2.1"),
        ("a certificate table padded",       by_command(key, then=" && " + shlex.join([sys.executable, "-c", PAD]) + ' "$1"'),
                                                                                                          "bytes after the signature: only zero bytes"),
    ]
    for case, name, mutate, message in product_faults:
        bad = make_product(path("bad product"))
        mutate(os.path.join(bad, name))
        check_refused(case, out, before, message, *release(out, bad))
    # A setup.exe that is not the one its build's record was written for.
    os.makedirs(path("stale"))
    stale = shutil.copy(SETUP, path("stale"))
    open(path("stale", "BUILDINFO"), "w").write(open(os.path.join(BUILD, "win32", "BUILDINFO")).read().replace(digest(SETUP), "0" * 64))
    check_refused("a build record of other bytes", out, before, "is not the record of", *release(out, good, setup=stale))
    for case, env, message, *logins in signing_faults:
        open(key("logins"), "w").close()
        check_refused(case, out, before, message, *release(out, good, **env))
        if logins and open(key("logins")).read().count("C_Login") != logins[0]:
            fail(case, "expected %d login to the token, got %s" % (logins[0], open(key("logins")).read().split()))


def check_refused(case, out, before, message, code, text):
    if code == 0 or code == 124:
        fail(case, "expected a refusal, got %s" % ("a hang" if code == 124 else "a release"))
    elif message not in text:
        fail(case, "expected the message to say %r, got %r" % (message, text.strip()))
    if state(out) != before:
        fail(case, "expected the previous release untouched, got it changed")


def check_deploy_cmd(case, text):
    """What keeps deploy.cmd working from a folder of any name, as cmd reads a batch file."""
    lines = [line for line in text.decode("latin-1").split("\r\n") if not line.lower().startswith("rem ")]
    bare = [(line, line.split('"')[::2]) for line in lines]  # each line, and its parts outside quotes
    setlocal = [line.lower() for line in lines if line.lower().startswith("setlocal")][:1]
    rules = [
        # rule                                                  the lines that break it
        ("its folder (%~dp0, kept in %here%) only quoted",      [l for l, parts in bare if re.search(r"%~dp0|%here%", "".join(parts))]),
        ("no parenthesised block: a ( opens a for's set alone", [l for l, parts in bare if any(re.search(r"(?<! in )\(", p) for p in parts)]),
        ("no %CD%",                                             [l for l in lines if "%cd%" in l.lower()]),
        ("delayed expansion off",                               [l for l in lines if "enabledelayedexpansion" in l.lower()] +
                                                                [l for l in setlocal if "disabledelayedexpansion" not in l] or
                                                                ([] if setlocal else ["no setlocal"])),
        ("ASCII only",                                          [l for l in lines if not l.isascii()]),
    ]
    for rule, broken in rules:
        if broken:
            fail(case, "deploy.cmd: expected %s, got %r" % (rule, broken))


def check_release():
    case = "the complete release"
    product = make_product(path("product two"))
    # Windows names ignore case: QUIBEL32.EXE ships as the script spells it. A link to a file is a file.
    os.rename(os.path.join(product, "quibel32.exe"), os.path.join(product, "QUIBEL32.EXE"))
    os.rename(os.path.join(product, "readme.txt"), path("readme elsewhere.txt"))
    os.symlink(path("readme elsewhere.txt"), os.path.join(product, "readme.txt"))
    open(os.path.join(product, "notes.doc"), "w").write("not the product's\n")
    code, text = release(path("first"), product)
    if code:
        return fail(case, "expected it laid, got: " + text)
    if "notes.doc is in" not in text:
        fail(case, "expected a warning naming notes.doc, got %r" % text)
    dist = path("first", "dist")
    want = sorted(PRODUCT + ["setup.exe", "quibel43.inf", "quibel43.js", "SHA256SUMS", "BUILDINFO", "DEPLOY.txt", "deploy.cmd"])
    if sorted(os.listdir(dist)) != want:
        fail(case, "expected %s, got %s" % (want, sorted(os.listdir(dist))))
    expected_bytes = {"quibel32.exe": os.path.join(product, "QUIBEL32.EXE"), "setup.exe": SETUP,
                      "readme.txt": path("readme elsewhere.txt")}
    for name, source in expected_bytes.items():
        if digest(os.path.join(dist, name)) != digest(source):
            fail(case, "expected %s to be %s byte for byte, got other bytes" % (name, source))
    checked = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=dist, capture_output=True, text=True)
    if checked.returncode or checked.stdout.count(": OK") != len(want) - 1:
        fail(case, "expected SHA256SUMS to verify %d files, got %r" % (len(want) - 1, checked.stdout))
    for name in ("DEPLOY.txt", "deploy.cmd"):  # cmd.exe and Notepad read CR LF lines
        text = open(os.path.join(dist, name), "rb").read()
        if text.count(b"\n") != text.count(b"\r\n") or not text.endswith(b"\r\n"):
            fail(case, "expected %s in CR LF lines, got %r" % (name, text[:80]))
    check_deploy_cmd(case, open(os.path.join(dist, "deploy.cmd"), "rb").read())
    check_deploy_cmd("the template", open(os.path.join(SOURCE, "tools", "release", "deploy.cmd.in"), "rb").read())
    compiler = subprocess.run(["i686-w64-mingw32-g++", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    info = open(os.path.join(dist, "BUILDINFO")).read()
    # The Debian release alone, not its point release: a point release with the same tools makes the
    # same bytes. Read from debian_version, which release.py does not read.
    major = open("/etc/debian_version").read().split(".")[0].strip()
    system = "Debian GNU/Linux %s (%s)" % (major, {"12": "bookworm", "13": "trixie"}.get(major, "a release this test does not know"))
    for named in (compiler, "\nsystem: %s\n" % system, "windres: GNU windres"):
        if named not in info:
            fail(case, "expected BUILDINFO to name %r, got %r" % (named, info))
    with zipfile.ZipFile(path("first", "quibel43.zip")) as z:
        packed = {i.filename: z.read(i) for i in z.infolist()}
        # Every entry: the release's time, MS-DOS made, no attributes, no extra fields.
        want_entry = (time.gmtime(int(EPOCH))[:6], 0, 0x20, b"")  # the archive bit alone
        stray = ["%s: %s" % (i.filename, (i.date_time, i.create_system, i.external_attr, i.extra)) for i in z.infolist()
                 if (i.date_time, i.create_system, i.external_attr, i.extra) != want_entry]
    unpacked = {"quibel43/" + n: open(os.path.join(dist, n), "rb").read() for n in os.listdir(dist)}
    if packed != unpacked:
        fail(case, "expected the zip to hold the folder, got %s" % sorted(packed))
    if stray:
        fail(case, "expected each entry as %s (time, system, attributes, extra), got %s" % (want_entry, stray))
    sums = open(path("first", "quibel43.zip.sha256")).read()
    if sums != "%s  quibel43.zip\n" % digest(path("first", "quibel43.zip")):
        fail(case, "expected quibel43.zip.sha256 to match the zip, got %r" % sums)
    # Another folder, another time, another copy of the product: the same zip.
    shutil.copytree(product, path("product three"), symlinks=True)
    release(path("second"), path("product three"))
    if digest(path("second", "quibel43.zip")) != digest(path("first", "quibel43.zip")):
        fail(case, "expected the same zip from a second run, got other bytes")
    # Without a product: today's folder, and no zip left that would not match it.
    release(path("first"))
    if sorted(os.listdir(path("first"))) != ["dist"] or "PACKAGING.txt" not in os.listdir(dist):
        fail("without a product", "expected dist with PACKAGING.txt and no zip, got %s" % os.listdir(path("first")))


def check_stopped():
    """Whatever step a stop comes before, the release is the old one whole or the new one whole."""
    case = "a release stopped at each step"
    # The new release is laid beside the stopped one first: its name begins with the other's.
    out, new = path("stopped"), path("stopped-new")
    release(out, make_product(path("product old")))
    old = state(out)
    product = make_product(path("product new"))
    open(os.path.join(product, "readme.txt"), "r+b").write(b"another readme")  # same size, other bytes
    release(new, product)
    whole = state(new)
    for n in range(1, 100):
        code, text = release(out, product, stop=n)
        if code not in (0, 137):
            return fail(case, "expected a release or a stop before step %d, got: %s" % (n, text.strip()[-300:]))
        if state(out) not in (old, whole):
            return fail(case, "expected the old or the new release whole after a stop before step %d, got %s"
                        % (n, state(out)))
        if code == 0:
            break
    if state(new) != whole:
        fail(case, "expected the release beside it untouched, got %s" % state(new))
    leftovers = sorted(os.listdir(path(".stopped.releases"))) if os.path.isdir(path(".stopped.releases")) else []
    if state(out) != whole or len(leftovers) != 2:
        fail(case, "expected the new release and only its folder and lock after a whole run, got %s and %s"
             % (state(out), leftovers))


class Authority(http.server.BaseHTTPRequestHandler):
    """An RFC 3161 timestamp authority: OpenSSL's `ts -reply` behind HTTP POST."""
    config = None

    def do_POST(self):
        with tempfile.TemporaryDirectory() as work:
            query, reply = os.path.join(work, "query"), os.path.join(work, "reply")
            open(query, "wb").write(self.rfile.read(int(self.headers["Content-Length"])))
            done = subprocess.run(["openssl", "ts", "-reply", "-config", self.config, "-queryfile", query,
                                   "-out", reply], capture_output=True, timeout=30)
            body = open(reply, "rb").read() if done.returncode == 0 else b""
        self.send_response(200 if body else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def check_timestamp(key):
    """SIGN_TIMESTAMP against an authority on 127.0.0.1 whose throwaway certificate is its own CA."""
    case = "signed with a timestamp"
    open(key("serial"), "w").write("01\n")
    Authority.config = key("tsa.cnf")
    open(Authority.config, "w").write(
        "[tsa]\ndefault_tsa = test\n[test]\nserial = %s\nsigner_cert = %s\nsigner_key = %s\nsigner_digest = sha256\n"
        "default_policy = 1.2.3.4.1\ndigests = sha1, sha256, sha384, sha512\ness_cert_id_alg = sha256\n"
        % (key("serial"), key("tsa.pem"), key("tsa.key")))
    # A thread of this test: it cannot outlive it, and each answer is bounded by its own time limit.
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Authority)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        code, text = release(path("stamped"), SIGN_CERT=key("signer.pem"), SIGN_KEY=key("signer.key"),
                             SIGN_TIMESTAMP="http://127.0.0.1:%d/" % server.server_address[1])
    finally:
        server.shutdown()
        server.server_close()
    if code:
        return fail(case, "expected a signed release, got: " + text)
    ok, why = osslsigncode("verify", "-in", path("stamped", "dist", "setup.exe"), "-CAfile", key("signer.pem"),
                           "-TSA-CAfile", key("tsa.pem"))
    # osslsigncode passes a file whose countersignature fails, so the line is what counts.
    # Its time and its authority, as 2.9 and 2.5 (Debian 12's own) word them.
    when = [line.strip() for line in why.splitlines() if "Timestamp time" in line or "signature is timestamped:" in line]
    who = [line.strip() for line in why.splitlines() if "/CN=Quibel test tsa" in line]
    stamp = when[:1] + who[:1]
    if not ok or "Timestamp Server Signature verification: ok" not in why or not when or not who:
        return fail(case, "expected a countersignature that verifies against the test's CA, got: " + why[-600:])
    print("     countersignature: " + "; ".join(sorted(set(stamp))))


def check_signing(key):
    pem = dict(SIGN_CERT=key("signer.pem"), SIGN_KEY=key("signer.key"))
    p12 = dict(SIGN_PKCS12=key("signer.p12"), SIGN_PASS_FILE=key("pass"))
    rc2 = dict(p12, SIGN_PKCS12=key("signer-rc2.p12"))
    leftovers = ' && touch "$(dirname "$1")/version.dll" "$1.bak"'
    late = '; (sleep 0.5; printf X | dd of="$1" bs=1 seek=1040 conv=notrunc) >/dev/null 2>&1 &'
    laid = sorted(["setup.exe", "quibel43.inf", "quibel43.js", "deploy.cmd", "DEPLOY.txt", "BUILDINFO", "PACKAGING.txt"])
    alike = {}
    for case, env, signer, same in (
            # case                                      environment                               signer    the same bytes as
            ("signed with PEM files",                   pem,                                      "signer", "signer"),
            ("signed again, same time",                 pem,                                      "signer", "signer"),
            ("signed with PKCS#12",                     p12,                                      "signer", "signer"),
            ("signed with an RC2-40 PKCS#12",           rc2,                                      "signer", "signer"),
            ("signed through a PKCS#11 token",          token(key),                               "token",  "token"),
            ("signed by a command, the token behind it", by_command(key),                         "token",  "token"),
            ("signed by a command that leaves files",   by_command(key, then=leftovers),          "token",  "token"),
            ("signed by a command that writes later",   by_command(key, then=late),               "token",  "token"),
            ("dual-signed by a command, SHA-1, SHA-256", by_command(key, *token_options(key), "-h", "sha1", then=nest(key)),
                                                                                                  "token",  "dual")):
        if same in alike:
            time.sleep(1.1)  # a signing time taken from the clock would now differ from the row before
        out = path(case)
        code, text = release(out, **env)
        exe = os.path.join(out, "dist", "setup.exe")
        if code:
            fail(case, "expected a signed release, got: " + text)
            continue
        alike.setdefault(same, set()).add(exe)
        if sorted(os.listdir(os.path.join(out, "dist"))) != laid:
            fail(case, "expected dist to hold %s, got %s" % (laid, sorted(os.listdir(os.path.join(out, "dist")))))
        # How it was signed, by whom, and what was signed: never the PIN.
        info = open(os.path.join(out, "dist", "BUILDINFO")).read()
        fingerprint = hashlib.sha256(ssl.PEM_cert_to_DER_cert(open(key(signer + ".pem")).read())).hexdigest()
        tool = "signed: by the signing command sh" if "SIGN_COMMAND" in env else "signing tool: osslsigncode"
        for named in ("certificate sha256 " + fingerprint, "unsigned: sha256 " + digest(SETUP), tool):
            if named not in info or "tide tables" in info:
                fail(case, "expected BUILDINFO to name %r and never the PIN, got %r" % (named, info))
        ok, why = osslsigncode("verify", "-in", exe, "-CAfile", key("signer.pem"))
        if not ok:
            fail(case, "expected the signature to verify, got: " + why.splitlines()[-1])
        pe = subprocess.run([sys.executable, os.path.join(SOURCE, "tests", "check_pe.py"), "--signed", exe],
                            capture_output=True, text=True)
        if pe.returncode:
            fail(case, "expected the PE checks to pass, got: " + " ".join(l for l in pe.stdout.splitlines() if l.startswith("FAIL ")))
    # Read after every row has run: a write that came after its command had exited is seen.
    for same, files in alike.items():
        if len({digest(exe) for exe in files}) != 1:
            fail("signing", "expected the same bytes from the %s's key and time, got %d different files" % (same, len({digest(exe) for exe in files})))
    # One changed byte in the signed code.
    exe = os.path.join(path("signed with PEM files"), "dist", "setup.exe")
    data = bytearray(open(exe, "rb").read())
    data[0x400 + 16] ^= 0xFF  # inside .text, the first section
    open(path("tampered.exe"), "wb").write(data)
    ok, why = osslsigncode("verify", "-in", path("tampered.exe"), "-CAfile", key("signer.pem"))
    if ok:
        fail("a changed byte in the code", "expected verification to fail, got: " + why.splitlines()[-1])


def check_signed_twin(key):
    case = "the signed x86-64 twin under Wine"
    out = path("twin")
    code, text = release(out, setup=os.path.join(BUILD, "win64", "setup.exe"),
                         SIGN_CERT=key("signer.pem"), SIGN_KEY=key("signer.key"))
    if code:
        return fail(case, "expected it signed, got: " + text)
    # Alone in its folder: without the script (and the product files it would copy) the walk takes
    # the failure path, with no setup engine to wait for.
    os.makedirs(path("twin alone"))
    shutil.copyfile(os.path.join(out, "dist", "setup.exe"), path("twin alone", "setup.exe"))
    walked = subprocess.run([os.path.join(SOURCE, "tools", "machine", "wine_session.sh"), "--virtual-display",
                             "--evidence", path("failed"), path("wine"),
                             "wine", os.path.join(BUILD, "win64", "tests", "drivers", "walk_pages.exe"),
                             path("twin alone", "setup.exe"), path("screens")],
                            capture_output=True, text=True, timeout=300)
    if 'page "I Agree"' not in walked.stdout or "exit status 0" not in walked.stdout or os.path.exists(path("failed")):
        fail(case, "expected the agreement page, exit status 0 and no evidence kept, got %r" % (walked.stdout + walked.stderr)[-400:])


def check_script_drift():
    script = open(os.path.join(SOURCE, "quibel43.inf")).read()
    drifts = [
        # case                                      (replace, with) in the script, and what the check names
        ("a file dropped from the 9x list",         [("readme.txt\nlicense.txt\n\n; The shell's", "readme.txt\n\n; The shell's")],
         "[Quibel.Program.9x] names"),
        ("the script left out of SourceDisksFiles", [("quibel43.inf=1\n", "")], "[SourceDisksFiles] names"),
        ("an eleventh file in every list",          [("license.txt\n", "license.txt\nextra.dat\n"), ("license.txt=1\n", "license.txt=1\nextra.dat=1\n")],
         "promises 10 files"),
        ("a 9x remove line with another value",     [("setup.ini, quibel, \"\"\"%ShortcutName%\"\",\"\"%24%", "setup.ini, quibel, \"\"\"Quibel\"\",\"\"%24%")],
         "the 9x uninstall"),
        ("an EstimatedSize one KiB short",          [("EstimatedSize, 0x00010001, 75,", "EstimatedSize, 0x00010001, 74,")], "EstimatedSize is 0x00010001, 74"),
        ("a quiet uninstall that is not quiet",     [("Uninstall.9x,1,N", "Uninstall.9x,0,N")], "[quibel.uninstall.9x] writes"),
        ("the kept copy where any user may write",  [("Quibel.Script=16427", "Quibel.Script=16419")],
         "[Quibel.Script] names a folder under DIRID 16419"),
        ("the remover's engine left to .js",       [("//NoLogo //E:JScript", "//NoLogo")], "without //E:JScript"),
    ]
    for case, edits, named in drifts:
        mutated = script
        for old, new in edits:
            if old not in mutated:
                fail(case, "expected the script to hold %r, got none" % old)
            mutated = mutated.replace(old, new)
        inf = path("drift", "quibel43.inf")
        os.makedirs(os.path.dirname(inf), exist_ok=True)
        open(inf, "w").write(mutated)
        said = "; ".join(rule + ": " + ", ".join(broken) for rule, broken in
                         install_script.rules(inf, os.path.join(BUILD, "host", "print_page")) if broken)
        if named not in said:
            fail(case, "expected the check to fail naming %r, got: %s" % (named, said or "none broken"))


def check_version_followed():
    """A new version is an edit of the script: setup.exe built from it, deploy.cmd, DEPLOY.txt and the
    zip all say it, and none says 4.3; the longest version still fits 8,192 bytes."""
    case, folder = "the version 4.10.65535 in the script", path("version")
    os.makedirs(folder)
    shutil.copy(os.path.join(SOURCE, "quibel43.js"), folder)
    script = os.path.join(folder, "quibel410.inf")
    text = open(os.path.join(SOURCE, "quibel43.inf")).read().replace("quibel43.inf", "quibel410.inf")
    text = re.sub(r'^((?:DisplayVersion|DisplayName|DiskName)=".*)4\.3\b', r"\g<1>4.10.65535", text, flags=re.M)
    open(script, "w").write(text)
    build = os.path.join(folder, "build")
    for command in (["cmake", "-S", SOURCE, "-B", build, "-DSETUP_SCRIPT=" + script,
                     "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(SOURCE, "cmake", "mingw-i686.cmake")],
                    ["cmake", "--build", build, "--target", "setup"]):
        subprocess.run(command, stdout=subprocess.DEVNULL, check=True)
    setup = os.path.join(build, "setup.exe")
    data, pe = open(setup, "rb").read(), check_pe.read_pe(setup)
    version = pe["resources"][(16, 1, check_pe.EN_US)]
    said = {"size at most 8192": min(8192, pe["size"]),
            "version resource numbers": struct.unpack_from("<4I", version, version.index(b"\xbd\x04\xef\xfe") + 8),
            "FileVersion": check_pe.version_strings(version).get("FileVersion"),
            "title": b"\0Install Quibel32 version 4.10.65535\0" in data, "script run": b"\0quibel410.inf\0" in data,
            "4.3 or quibel43 anywhere": bool(re.search(rb"4\.3\b|quibel43", data))}
    expected = {"size at most 8192": pe["size"], "version resource numbers": (4 << 16 | 10, 65535 << 16, 4 << 16 | 10, 65535 << 16),
                "FileVersion": "4.10.65535", "title": True, "script run": True, "4.3 or quibel43 anywhere": False}
    if said != expected:
        fail(case, "expected setup.exe to say %r, got %r (free bytes %r)" % (expected, said, pe["free"]))
    code, out = release(path("version", "release"), product=make_product(path("version", "product")), setup=setup, script=script)
    laid = sorted(os.listdir(path("version", "release"))) if code == 0 else out
    if laid != ["dist", "quibel410.zip", "quibel410.zip.sha256"]:
        fail(case, "expected the release to lay quibel410.zip, got %r" % laid)
    for name, words in (("deploy.cmd", ["rem Quibel32 4.10.65535:", "call :part 10 %2", "call :part 65535 %3", "call :part 0 %4"]),
                        ("DEPLOY.txt", ["Quibel32 4.10.65535:", "Value 4.10.65535"])):
        text = open(path("version", "release", "dist", name)).read() if code == 0 else ""
        if any(w not in text for w in words) or "4.3" in text:
            fail(case, "expected %s to say %s and never 4.3, got %r" % (name, " and ".join(words), text[:200]))
    # A part the version resource cannot hold is refused at the build, naming the version.
    with open(script, "r+") as f:
        longer = f.read().replace('DisplayVersion="4.10.65535"', 'DisplayVersion="4.10.65536"')
        f.seek(0)
        f.write(longer)
    built = subprocess.run(["cmake", "--build", build, "--target", "setup"], capture_output=True, text=True)
    if built.returncode == 0 or "DisplayVersion '4.10.65536'" not in built.stdout + built.stderr:
        fail(case, "expected the build to refuse DisplayVersion '4.10.65536', got %r" % (built.stdout + built.stderr)[-300:])


def main():
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    key = make_keys()
    checks = [("refusals", lambda: check_refusals(key)), ("the complete release", check_release),
              ("a stopped release", check_stopped), ("signing", lambda: check_signing(key)),
              ("a timestamp", lambda: check_timestamp(key)), ("the signed twin", lambda: check_signed_twin(key)),
              ("the script and the page", check_script_drift), ("the version from the script", check_version_followed)]
    status = run(checks)
    shutil.rmtree(WORK, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
