#!/usr/bin/env python3
"""Writes product.h: the product's name, version, publisher and file names as the install script
has them, for the pages and the version resource, so that a new version is an edit of the script.

usage: make_product.py SCRIPT OUTPUT"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "release"))
import deploy  # noqa: E402


def header(script):
    facts = deploy.facts(script)
    parts = facts["version"].split(".")
    # The version resource holds four numbers of 16 bits.
    if not 1 <= len(parts) <= 4 or not all(p.isdigit() and int(p) <= 65535 for p in parts):
        raise ValueError("DisplayVersion %r: the version resource takes up to four numbers of 0 to 65535"
                         % facts["version"])
    values = {key.upper(): facts[key] for key in ("name", "version", "vendor", "folder", "program", "script")}
    for name, value in values.items():
        # Each goes into a C string and an .rc string as it is.
        if not value or not all(" " <= c <= "~" and c not in '"\\' for c in value):
            raise ValueError("%s %r: only printable ASCII without quotes or backslashes" % (name, value))
    lines = ["// Made by make_product.py from %s: what setup says of the product." % facts["script"]]
    lines += ['#define PRODUCT_%s "%s"' % item for item in values.items()]
    lines.append("#define PRODUCT_VERSION_PARTS %s" % ", ".join(str(int(p)) for p in (parts + ["0"] * 4)[:4]))
    return "\n".join(lines) + "\n"


def main():
    script, out = sys.argv[1:3]
    try:
        text = header(script)
    except (ValueError, KeyError, IndexError, OSError) as e:
        sys.exit("make_product: %s: %s" % (script, e))
    with open(out + ".new", "w") as f:
        f.write(text)
    os.replace(out + ".new", out)


if __name__ == "__main__":
    main()
