#!/usr/bin/env python3
"""The install script keeps every rule the release holds it to, and names what the summary page promises.

usage: script_and_page.py SCRIPT PRINT_PAGE
"""
import os
import sys

from checks import fail, run

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools", "release"))
import install_script  # noqa: E402

sys.exit(run([(rule, lambda rule=rule, broken=broken: [fail(rule, problem) for problem in broken])
              for rule, broken in install_script.rules(*sys.argv[1:3])]))
