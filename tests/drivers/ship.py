#!/usr/bin/env python3
"""A ship folder to try setup in, as the tests and `make run` use it: setup.exe, the script and what
the release lays beside it, a stand-in for each product file and, with --planted, a library under
each name that the probe's header says a stranger leaves there."""
import argparse
import os
import re
import shutil
import sys

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(TOP, "tools", "release"))
import install_script  # noqa: E402
import release  # noqa: E402

parser = argparse.ArgumentParser(description=__doc__)
for argument in ("setup", "script", "out"):
    parser.add_argument(argument)
parser.add_argument("--planted", help="the library to leave beside setup.exe under the stranger's names")
args = parser.parse_args()
shutil.rmtree(args.out, ignore_errors=True)
os.makedirs(args.out)
shutil.copy(args.setup, args.out)
names = install_script.product_files(args.script)[0]
for name in names:
    with open(os.path.join(args.out, name), "w", newline="\r\n") as f:
        f.write("Stand-in for %s, made by the build of setup.exe: not the product file.\n" % name)
release.lay_script(args.out, args.script, {name: os.path.getsize(os.path.join(args.out, name)) for name in names})
strangers = re.findall(r'#define \w+_LIBRARY "([^"]+)"', open(os.path.join(TOP, "tests", "probe.h")).read())
for name in strangers if args.planted else []:
    shutil.copyfile(args.planted, os.path.join(args.out, name))
