"""Signing setup.exe for the release (release.py): the signing named in the environment (SIGN_*),
checked before anything is laid; the signing itself, always on a copy in a private folder, whose
result is read once; and the check that a signing command's result is setup.exe as built with
SIGN_CERT's signatures and nothing else, read from the file's own certificate table."""
import hashlib
import os
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile

# Object identifiers, as DER: PKCS#7 SignedData; the unauthenticated attributes a signature may
# carry: a nested signature (dual signing), a timestamp countersignature, and an RFC 3161 timestamp.
SIGNED_DATA = bytes.fromhex("06092a864886f70d010702")
NESTED = bytes.fromhex("060a2b060104018237020401")
TIMESTAMPS = (bytes.fromhex("06092a864886f70d010906"), bytes.fromhex("060a2b060104018237030301"))
WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0200, 0x0002


def refuse(*problems):
    sys.exit("\n".join("release: " + problem for problem in problems))


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


def signed_setup(unsigned, signing, epoch, product):
    """setup.exe's bytes UNSIGNED, signed as the environment says. The signing runs on a copy in a
    private folder (mode 0700), removed after, so that nothing it leaves beside the file or writes
    after it exits reaches the release; its result is read once, and those bytes are what is laid."""
    with tempfile.TemporaryDirectory(prefix="quibel-sign-", ignore_cleanup_errors=True) as private:
        path = os.path.join(private, "setup.exe")
        with open(path, "wb") as f:
            f.write(unsigned)
        if signing["SIGN_COMMAND"]:
            status, said = run_command(signing["SIGN_COMMAND"], path, private)
        else:
            sign_with_osslsigncode(path, path + ".signed", signing, epoch, product)
            os.replace(path + ".signed", path)
        try:
            with open(path, "rb") as f:
                signed = f.read()
        except OSError:
            signed = b""  # a command that took the file away: refused below, as no PE file
        if signing["SIGN_COMMAND"]:
            check_command_result(signed, unsigned, signing, status, said, private)
    return signed


def sign_with_osslsigncode(setup, signed, signing, epoch, product):
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
        refuse("signing setup.exe failed%s: %s" % (" (is the timestamp server %s reachable?)" % signing["SIGN_TIMESTAMP"]
                                                   if signing["SIGN_TIMESTAMP"] else "", why[-1] if why else "no reason given"))


def run_command(command, path, folder):
    """SIGN_COMMAND with PATH after it, which it signs in place as signing services' clients do, run
    in FOLDER: its status and what it said."""
    try:
        done = subprocess.run(shlex.split(command) + [path], cwd=folder, capture_output=True, stdin=subprocess.DEVNULL)
        return done.returncode, (done.stdout + done.stderr).decode(errors="replace").strip()
    except OSError as e:
        return 127, str(e)


def check_command_result(signed, unsigned, signing, status, said, folder):
    """Refuses the signing command's result unless it is UNSIGNED with SIGN_CERT's signatures and
    nothing else: one certificate table entry, a PKCS#7 signature padded to 8 bytes, at the file's
    end; only the checksum and the table's directory entry changed before it; no unauthenticated
    attribute but timestamps and nested signatures; and each signature, alone on setup.exe, verifies
    to SIGN_CERT's chain with SIGN_CERT's certificate as its signer. Each signature is verified
    alone, since osslsigncode's verify passes a file when any one of its signatures does."""
    def refused(why):
        refuse("the signing command's setup.exe is refused: %s. The command said:%s"
               % (why, "".join("\n  | " + line for line in said.splitlines()) or " nothing"))
    if status:
        refused("it failed (status %d)" % status)
    signature, why = certificate_table(signed, unsigned)
    if why:
        refused(why)
    if not is_signed_copy(signed, unsigned):
        refused("with its signature removed it is not setup.exe as built: more than the checksum and the certificate "
                "table's entry changed")
    try:
        signatures = each_signature(signature)
    except (ValueError, IndexError) as e:
        refused("its signature is not one this release takes: %s" % e)
    # The certificate as its own chain's anchor, or the system's roots above it.
    anchors, system = os.path.join(folder, "anchors.pem"), "/etc/ssl/certs/ca-certificates.crt"
    with open(anchors, "wb") as f:
        f.write(open(signing["SIGN_CERT"], "rb").read() + (open(system, "rb").read() if os.path.isfile(system) else b""))
    alone = os.path.join(folder, "alone.exe")
    verify = ["osslsigncode", "verify", "-in", alone, "-CAfile", anchors]
    # Revocation is the CA's to tell on Windows, and its lists may not be reachable from here.
    usage = run_tool("osslsigncode", "verify", "-help")
    verify += ["-ignore-cdp"] if b"-ignore-cdp" in usage[1] or "-ignore-cdp" in usage[2] else []
    for n, (where, der) in enumerate(signatures, 1):
        with open(alone, "wb") as f:
            f.write(with_signature(unsigned, der))
        which = "signature %d of %d (%s)" % (n, len(signatures), where)
        if not run_tool(*verify)[0]:
            refused("it has no signature that verifies to SIGN_CERT's chain" if len(signatures) == 1 else
                    "%s does not verify to SIGN_CERT's chain" % which)
        if not run_tool(*verify, "-require-leaf-hash", "sha256:" + signing["fingerprint"])[0]:
            refused("its signer is not SIGN_CERT's certificate (%s)%s" % (signing["subject"], "" if len(signatures) == 1 else ": " + which))


def pe_offsets(data):
    """Where a PE file's checksum and its certificate table's directory entry are."""
    header = struct.unpack_from("<I", data, 0x3C)[0] + 24
    return header + 64, header + (112 if struct.unpack_from("<H", data, header)[0] == 0x20B else 96) + 4 * 8


def certificate_table(signed, unsigned):
    """The one signature in SIGNED's certificate table, as DER, or what is wrong with the table: one
    entry of revision 2.0 holding PKCS#7 SignedData, padded with zero bytes to a multiple of 8, at the
    file's end, not before UNSIGNED's end."""
    try:
        offset, size = struct.unpack_from("<II", signed, pe_offsets(signed)[1])
        length, revision, kind = struct.unpack_from("<IHH", signed, offset) if size >= 8 else (0, 0, 0)
    except struct.error:
        return None, "it is no PE file"
    if not size:
        return None, "it has no signature that verifies to SIGN_CERT's chain: it has no certificate table"
    if offset < len(unsigned) or offset + size != len(signed):
        return None, "its certificate table is not at the file's end, after setup.exe as built"
    if length != size:
        return None, "its certificate table holds more than one entry"
    if (revision, kind) != (WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA):
        return None, "its certificate table's entry is not a PKCS#7 signature (revision %#06x, type %d)" % (revision, kind)
    body = signed[offset + 8:offset + size]
    try:
        end = der(body, 0)[2]
    except ValueError as e:
        return None, "its certificate table's entry is not DER: %s" % e
    if len(body) - end >= 8 or any(body[end:]):
        return None, ("its certificate table's entry holds %d bytes after the signature: only zero bytes up to a multiple "
                      "of 8 may follow it" % (len(body) - end))
    return body[:end], None


def is_signed_copy(signed, unsigned):
    """Whether SIGNED is UNSIGNED with a signature and nothing else: a certificate table at its end,
    after up to seven bytes of padding, and only the checksum and the table's directory entry changed."""
    def blank(data):
        checksum, entry = pe_offsets(data)
        blanked = bytearray(data)
        blanked[checksum:checksum + 4] = bytes(4)
        blanked[entry:entry + 8] = bytes(8)
        return blanked, struct.unpack_from("<II", data, entry)
    try:
        (body, (offset, size)), (plain, _) = blank(signed), blank(unsigned)
    except (struct.error, IndexError):
        return False
    padding = body[len(plain):offset]
    return bool(size) and offset + size == len(body) and body[:len(plain)] == plain and len(padding) < 8 and not any(padding)


def with_signature(unsigned, signature):
    """UNSIGNED with SIGNATURE alone in its certificate table, as a signing tool lays it, checksum and all."""
    body = bytearray(unsigned + bytes(-len(unsigned) % 8))
    table = struct.pack("<IHH", 8 + len(signature) + -len(signature) % 8, WIN_CERT_REVISION_2_0,
                        WIN_CERT_TYPE_PKCS_SIGNED_DATA) + signature + bytes(-len(signature) % 8)
    checksum, entry = pe_offsets(body)
    struct.pack_into("<II", body, entry, len(body), len(table))
    body += table
    words = bytes(body[:checksum]) + bytes(4) + bytes(body[checksum + 4:]) + bytes(len(body) % 2)
    total = sum(struct.unpack("<%dH" % (len(words) // 2), words))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("<I", body, checksum, total + len(body))
    return bytes(body)


def der(data, at):
    """The DER element at AT in DATA: its tag, where its contents start, and where it ends."""
    if at + 2 > len(data):
        raise ValueError("it ends inside an element")
    tag, length, start = data[at], data[at + 1], at + 2
    if length & 0x80:
        count = length & 0x7F
        if not 0 < count <= 4:  # 0x80 is BER's indefinite length, which DER has not
            raise ValueError("an element's length is not DER")
        length, start = int.from_bytes(data[start:start + count], "big"), start + count
    if start + length > len(data):
        raise ValueError("an element runs past its end")
    return tag, start, start + length


def elements(data):
    """The DER elements DATA holds one after the other: each one's tag, whole bytes and contents."""
    found, at = [], 0
    while at < len(data):
        tag, start, end = der(data, at)
        found.append((tag, data[at:end], data[start:end]))
        at = end
    return found


def encode(tag, contents):
    size = len(contents)
    if size < 0x80:
        return bytes([tag, size]) + contents
    count = (size.bit_length() + 7) // 8
    return bytes([tag, 0x80 | count]) + size.to_bytes(count, "big") + contents


def dotted(oid):
    """An object identifier's DER as its dotted numbers."""
    numbers, n = [], 0
    for byte in oid[2:]:
        n = n << 7 | byte & 0x7F
        if not byte & 0x80:
            numbers.append(n)
            n = 0
    return ".".join(map(str, [min(numbers[0] // 40, 2), numbers[0] - 40 * min(numbers[0] // 40, 2)] + numbers[1:]))


def each_signature(content_info, where="the outer one"):
    """Each signature in a PKCS#7 ContentInfo, the outer one and those nested in it, as (where, that
    signature alone, as DER): without its nested signatures, so that each can be verified by itself.
    Raises ValueError, naming what is not so, unless each is SignedData with one signer whose only
    unauthenticated attributes are timestamps and nested signatures."""
    outer = elements(content_info)
    parts = elements(outer[0][2]) if len(outer) == 1 and outer[0][0] == 0x30 else []
    if len(parts) != 2 or parts[0][1] != SIGNED_DATA or parts[1][0] != 0xA0:
        raise ValueError("%s is not PKCS#7 SignedData" % where)
    body = elements(parts[1][2])
    fields = elements(body[0][2]) if len(body) == 1 and body[0][0] == 0x30 else []
    signers = elements(fields[-1][2]) if fields and fields[-1][0] == 0x31 else []
    if len(signers) != 1:
        raise ValueError("%s has %d signers, not one" % (where, len(signers)))
    info, kept, nested = elements(signers[0][2]), [], []
    if info[-1][0] == 0xA1:
        for _, attribute, contents in elements(info[-1][2]):
            oid, values = elements(contents)
            if oid[1] == NESTED:
                nested += [whole for _, whole, _ in elements(values[2])]
            elif oid[1] in TIMESTAMPS:
                kept.append(attribute)
            else:
                raise ValueError("%s carries the unauthenticated attribute %s, which is neither a timestamp nor a "
                                 "nested signature" % (where, dotted(oid[1])))
        info = info[:-1] + ([(0xA1, encode(0xA1, b"".join(kept)), None)] if kept else [])
    signer = encode(0x31, encode(0x30, b"".join(whole for _, whole, _ in info)))
    alone = encode(0x30, SIGNED_DATA + encode(0xA0, encode(0x30, b"".join(whole for _, whole, _ in fields[:-1]) + signer)))
    found = [(where, alone)]
    for n, inner in enumerate(nested, 1):
        found += each_signature(inner, "nested signature %d" % n)
    return found
