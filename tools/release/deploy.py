"""The quiet install and uninstall for administrators and deployment tools, written once: deploy.cmd
and DEPLOY.txt, with the product's name, version, uninstall key and files read from the script.
release.py lays both beside setup.exe; the install tests run deploy.cmd in the forms DEPLOY.txt gives."""
import os
import re
import textwrap

import install_script

# Windows Installer's codes, which deployment tools read: a failed install; another install at
# work (tools retry it later), here Quibel32 running; a newer version installed; a wrong command
# line; installed once Windows restarts.
FAILED, RUNNING, NEWER, USAGE, RESTART = 1603, 1618, 1638, 1639, 3010

# The forms of the command, as DEPLOY.txt gives them: typed at a prompt in the release folder, and
# by full path from anywhere, where cmd strips the outer quotes and keeps the inner ones whatever
# the folder's name holds.
TYPED = "deploy.cmd /install"
FULL_PATH = 'cmd /d /c ""<folder>\\deploy.cmd" /install"'
INSTALL_9X = "rundll32.exe advpack.dll,LaunchINFSection {script},DefaultInstall,1,N"
SESSION_MANAGER = r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager"

# The setup engine deploy.cmd runs: that of a 32-bit program, as setup.exe starts it, which on
# 64-bit Windows is the 32-bit one, by its full path (the same file from a 32-bit caller and a
# 64-bit one); on 64-bit Windows without its 32-bit part, the system's own, on the section the
# shell's install verb takes there.
WOW64 = (r"%SystemRoot%\SysWOW64", "DefaultInstall.NT")
NATIVE = (r"%SystemRoot%\System32", "DefaultInstall.NT")
NATIVE_AMD64 = (r"%SystemRoot%\System32", "DefaultInstall.NTamd64")


def engine(system, section, folder, script):
    """advpack's quiet install (1) of a section, never restarting Windows (N). advpack runs the
    section as named: each family names the one its engine takes."""
    return '"%s\\rundll32.exe" advpack.dll,LaunchINFSection "%s%s",%s,1,N' % (system, folder, script, section)


# deploy.cmd.in and DEPLOY.txt.in beside this file, in the CR LF lines they ship in, with @word@
# placeholders that no brace or percent sign of the batch can break. The batch has no parenthesised
# block anywhere: cmd expands a block's variables when it reads the whole block, so a folder named
# "quibel43 (1)" would end it early. The folder is only ever used quoted. A value from the registry
# is used only when the entry gives it, and never unquoted.
HERE = os.path.dirname(os.path.abspath(__file__))


def fill(template, words):
    """The template named, beside this file, with each @word@ replaced; an unknown word is an error."""
    with open(os.path.join(HERE, template), newline="") as f:
        text = f.read()
    return re.sub(r"@([a-z_0-9]+)@", lambda match: str(words[match.group(1)]), text)


def facts(script):
    """The product's name, version, publisher, folder, uninstall key and files, as the script has them."""
    s = install_script.sections(script)
    words = install_script.strings(s)
    shortcut = install_script.directive(s, "DefaultInstall.NT", "ProfileItems")[0]
    product = install_script.product_files(script)[0]
    command = [line.partition("=")[2] for line in s[shortcut.lower()] if line.lower().startswith("cmdline")][0]
    return {"script": os.path.basename(script), "name": words["ShortcutName"], "version": words["DisplayVersion"],
            "vendor": words["Vendor"], "folder": words["FolderName"],
            "key": "HKLM\\" + words["UninstallKey"], "product": product, "kept": install_script.kept_files(script),
            "program": install_script.fields(command)[-1]}


def texts(script, sizes=None):
    """deploy.cmd and DEPLOY.txt for the script; SIZES, each file's size in the release folder, is
    deploy.cmd's record of the release (without it, the release is incomplete)."""
    f = facts(script)
    parts = f["version"].split(".")
    if not 1 <= len(parts) <= 4 or not all(p.isdigit() and len(p) < 10 for p in parts):
        raise ValueError("DisplayVersion %r: deploy.cmd compares up to four numbers of up to nine digits" % f["version"])
    words = dict(script=f["script"], release=os.path.splitext(f["script"])[0], name=f["name"], version=f["version"], key=f["key"], program=f["program"],
                 key_long=f["key"].replace("HKLM", "HKEY_LOCAL_MACHINE"), key_short=f["key"][len("HKLM\\"):],
                 failed=FAILED, running=RUNNING, newer=NEWER, usage=USAGE, restart=RESTART,
                 typed=TYPED, full_path=FULL_PATH, install_9x=INSTALL_9X.format(script=f["script"]),
                 session_manager=SESSION_MANAGER, values="DisplayName DisplayVersion InstallLocation QuietUninstallString",
                 wow64=WOW64[0], native=NATIVE[0], native_section=NATIVE[1], amd64_section=NATIVE_AMD64[1])
    names = f["product"] + f["kept"]
    # The release's record, a line a file (deploy.cmd.in says why), in the templates' CR LF lines.
    record = "\r\n".join('if "%%verb%%"=="install" for %%%%r in ("%%here%%%s") do if not "%%%%~zr"=="%d" set "wrong=%s:%d:%%%%~zr"'
                         % (name, sizes[name], name, sizes[name]) for name in names) if sizes else "rem No record."
    installed = "\r\n".join('for %%%%i in ("%%loc%%\\%s") do if not "%%%%~zi"=="%d" call :differs %s' % (name, sizes[name], name)
                            for name in f["product"]) if sizes else "rem No record."
    cmd = fill("deploy.cmd.in", dict(words, record=record, installed=installed, complete="1" if sizes else "",
                                     product=" ".join(f["product"]), engine=engine("%system%", "%section%", "%here%", f["script"]),
                                     **{"part%d" % (n + 1): int(p) for n, p in enumerate(parts + ["0"] * (4 - len(parts)))}))
    files = textwrap.fill(", ".join(names), 92, initial_indent=" " * 4, subsequent_indent=" " * 4).replace("\n", "\r\n")
    txt = fill("DEPLOY.txt.in", dict(words, files=files, wow64_engine=engine(*WOW64, "<folder>\\", f["script"])))
    return {"deploy.cmd": cmd, "DEPLOY.txt": txt}
