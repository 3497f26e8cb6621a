#!/usr/bin/env python3
"""Checks the shipped setup.exe the way Windows reads it: size, header, imports and resources.

usage: check_pe.py [--signed] SETUP_EXE

A signed file carries its signature in the security directory, outside every section; the size
limit is for the file without it (release_test builds it with a version of four five-digit parts,
which must fit too). Before the checks it says the size, and each section's free bytes (file bytes
that its contents leave unused), so that a change that grows it says where.
"""
import re
import struct
import sys
import xml.etree.ElementTree as ET

from checks import expect, run

# Newer calls (the library search's) are looked up at run time: an import Windows 95 lacks stops the
# program from loading there.
IMPORTS = {
    "kernel32.dll": ["GetModuleHandleA", "GetProcAddress", "GetSystemDirectoryA", "GetVersion", "LoadLibraryExA"],
    "msvcrt.dll": ["exit"],
    "shell32.dll": ["ShellExecuteA"],
    "user32.dll": ["DialogBoxParamA", "EndDialog", "LoadIconA", "MessageBoxA", "SendMessageA",
                   "SetDlgItemTextA", "SetWindowTextA"],
}
SUPPORTED_OS = {  # Vista, 7, 8, 8.1, 10 and 11
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}
VERSION = {
    "ProductName": "Quibel32", "ProductVersion": "4.3", "FileVersion": "4.3",
    "FileDescription": "Quibel32 4.3 Setup", "OriginalFilename": "setup.exe",
    "CompanyName": "Quibel Tide Software",
    "LegalCopyright": "Copyright (c) 1996-2004 Quibel Tide Software",
}
EN_US = 1033
LIMIT = 8192


def read_pe(path):
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    machine, count, _, _, _, optional_size, characteristics = struct.unpack_from("<HHIIIHH", data, pe + 4)
    opt = pe + 24
    sections, filled = [], {}
    for i in range(count):
        at = opt + optional_size + 40 * i
        name = data[at:at + 8].rstrip(b"\0").decode()
        size, rva, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
        sections.append((name, rva, max(size, raw_size), raw, struct.unpack_from("<I", data, at + 36)[0]))
        filled[name] = (rva, size, raw, raw_size)

    def at_rva(rva):
        return next(raw + rva - start for _, start, size, raw, _ in sections if start <= rva < start + size)

    def directory(n):
        return struct.unpack_from("<II", data, opt + 96 + 8 * n)

    def c_string(rva):
        start = at_rva(rva)
        return data[start:data.index(b"\0", start)].decode()

    imports = {}
    descriptor = at_rva(directory(1)[0])
    while struct.unpack_from("<I", data, descriptor + 12)[0]:
        names, _, _, dll, _ = struct.unpack_from("<IIIII", data, descriptor)
        thunks = at_rva(names)
        functions = []
        while struct.unpack_from("<I", data, thunks)[0]:
            thunk = struct.unpack_from("<I", data, thunks)[0]
            functions.append("#%d" % (thunk & 0xFFFF) if thunk >> 31 else c_string(thunk + 2))
            thunks += 4
        imports[c_string(dll).lower()] = sorted(functions)
        descriptor += 20

    resources = {}
    root = at_rva(directory(2)[0])
    ends = [root]  # where each table, name and data of the resources ends in the file

    def walk(offset, path):
        named, ids = struct.unpack_from("<HH", data, root + offset + 12)
        ends.append(root + offset + 16 + 8 * (named + ids))
        for k in range(named + ids):
            name, target = struct.unpack_from("<II", data, root + offset + 16 + 8 * k)
            if name >> 31:
                length = struct.unpack_from("<H", data, root + (name & 0x7FFFFFFF))[0]
                start = root + (name & 0x7FFFFFFF) + 2
                name = data[start:start + 2 * length].decode("utf-16-le")
                ends.append(start + 2 * length)
            if target >> 31:
                walk(target & 0x7FFFFFFF, path + (name,))
            else:
                rva, size = struct.unpack_from("<II", data, root + target)
                resources[path + (name,)] = data[at_rva(rva):at_rva(rva) + size]
                ends.extend([root + target + 16, at_rva(rva) + size])
    walk(0, ())
    # The linker rounds the resource section's size up to whole file units: its end is read off the tree.
    free = {name: raw_size - (max(ends) - raw if rva == directory(2)[0] else size)
            for name, (rva, size, raw, raw_size) in filled.items() if raw_size}

    return {
        "size": len(data), "machine": machine, "characteristics": characteristics,
        "magic": struct.unpack_from("<H", data, opt)[0],
        "os": struct.unpack_from("<HH", data, opt + 40), "subsystem version": struct.unpack_from("<HH", data, opt + 48),
        "subsystem": struct.unpack_from("<H", data, opt + 68)[0],
        "dll characteristics": struct.unpack_from("<H", data, opt + 70)[0],
        "relocations": directory(5)[1], "signature": directory(4)[1], "sections": sections, "imports": imports, "resources": resources,
        "free": free,
    }


def version_strings(block):
    """The key and value pairs of the version resource's string table for en-US, Unicode."""
    text = block.decode("utf-16-le", "replace")
    table = text[text.find("040904B0"):]
    return {key: value for key, value in re.findall(r"([A-Za-z]+)\0+([ -~]+)\0", table) if key in VERSION}


def manifest_facts(text):
    tree = ET.fromstring(text)
    elements = list(tree.iter())
    local = lambda e: e.tag.split("}")[-1]
    return {
        "level": [e.get("level") for e in elements if local(e) == "requestedExecutionLevel"],
        "supported": {e.get("Id") for e in elements if local(e) == "supportedOS"},
        "dpiAware": [e.text for e in elements if local(e) == "dpiAware"],
        "dependency": [local(e) for e in elements if local(e) == "dependency"],
    }


def checks(pe, signed):
    res = pe["resources"]
    manifest = manifest_facts(res.get((24, 1, EN_US), b"<none/>"))
    strings = version_strings(res.get((16, 1, EN_US), b""))
    icon = res.get((3, 1, EN_US), b"\0" * 40)
    size = pe["size"] - pe["signature"]
    writable_code = [s[0] for s in pe["sections"] if s[4] & 0xA0000000 == 0xA0000000]
    return [
        # what                                   expected                got
        ("file size, signature aside, at most",  min(LIMIT, size),       size),
        ("signed",                               signed,                 pe["signature"] > 0),
        ("machine (i386)",                       0x14C,                  pe["machine"]),
        ("PE32 optional header",                 0x10B,                  pe["magic"]),
        ("relocations kept",                     0,                      pe["characteristics"] & 1),
        ("subsystem (Windows GUI)",              2,                      pe["subsystem"]),
        ("subsystem version",                    (4, 0),                 pe["subsystem version"]),
        ("OS version",                           (4, 0),                 pe["os"]),
        ("dynamic base and NX compatible",       0x140,                  pe["dll characteristics"] & 0x140),
        ("relocation table present",             True,                   pe["relocations"] > 0),
        ("sections both writable and executable", [],                    writable_code),
        ("imports",                              IMPORTS,                pe["imports"]),
        ("layouts and icon group",               True,                   all(k in res for k in [(5, "LICENSE", EN_US), (5, "DONE", EN_US), (14, "SETUP", EN_US)])),
        ("icon image: 32 x 32, 4 bits, mask",    (40, 32, 64, 1, 4),     struct.unpack_from("<IiiHH", icon)),
        ("execution level",                      ["requireAdministrator"], manifest["level"]),
        ("supported OS",                         SUPPORTED_OS,           manifest["supported"]),
        ("DPI aware",                            ["true"],               manifest["dpiAware"]),
        ("manifest dependencies",                [],                     manifest["dependency"]),
        ("version strings (en-US, Unicode)",     VERSION,                strings),
    ]


def main():
    signed = sys.argv[1:2] == ["--signed"]
    pe = read_pe(sys.argv[-1])
    print("%d bytes, signature aside; free in each section: %s" % (
        pe["size"] - pe["signature"], ", ".join("%s %d" % item for item in pe["free"].items())))
    return run([(row[0], lambda row=row: expect(*row)) for row in checks(pe, signed)])


if __name__ == "__main__":
    sys.exit(main())
