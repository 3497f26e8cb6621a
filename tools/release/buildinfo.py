#!/usr/bin/env python3
"""BUILDINFO beside setup.exe, written as it is built (CMake runs this after each link): what fixed
its bytes, the tools as they built it and the Debian release they come from, and its SHA-256, by
which `make dist` knows the record is this file's. A point release that leaves the tools as they
are changes nothing, and is not named.

usage: buildinfo.py SETUP_EXE COMPILER LINKER WINDRES"""
import hashlib
import os
import shutil
import subprocess
import sys


def said(*command):
    done = subprocess.run(command, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    return done.stdout if done.returncode == 0 else ""


def package_of(path):
    """The Debian package that holds a file, and its version."""
    owner = said("dpkg-query", "-S", os.path.realpath(path)).split(":")[0]
    version = said("dpkg-query", "-W", "-f", "${Version}", owner) if owner else ""
    return "%s %s" % (owner, version) if version else "not known"


def tool_version(tool):
    """A tool's own version line and the Debian package it comes from, with that package's version."""
    path = shutil.which(tool) or tool
    first = said(path, "--version").splitlines()[:1] if os.path.exists(path) else []
    return "%s; package %s" % (first[0].strip() if first else tool + ": not found", package_of(path))


def record(setup, compiler, linker, windres):
    system = dict(line.strip().split("=", 1) for line in open("/etc/os-release") if "=" in line)
    library = said(compiler, "-print-file-name=libkernel32.a").strip()  # the import libraries shape the file too
    return "".join("%s: %s\n" % line for line in (
        ("system", system.get("PRETTY_NAME", "unknown").strip('"')),
        ("setup.exe as built, unsigned", "sha256 " + hashlib.sha256(open(setup, "rb").read()).hexdigest()),
        ("compiler", tool_version(compiler)), ("binutils", tool_version(linker)), ("windres", tool_version(windres)),
        ("mingw-w64 runtime", "package " + package_of(library))))


def main(setup, compiler, linker, windres):
    path = os.path.join(os.path.dirname(os.path.abspath(setup)), "BUILDINFO")
    with open(path + ".new", "w") as f:  # made aside: a stopped build leaves no half record
        f.write(record(setup, compiler, linker, windres))
    os.replace(path + ".new", path)


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__.split("\n\n")[-1])
    main(*sys.argv[1:])
