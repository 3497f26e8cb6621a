"""The rules quibel43.inf keeps with the summary page, read from the script as the platform's setup
engines read it: the product files it installs, the uninstall entry's size and its quiet uninstall,
where the NT sections write and what they run, and the 9x group lines."""
import csv
import os
import re
import subprocess

PRODUCT_SECTIONS = ("Quibel.Program", "Quibel.Program.9x")
KEPT_SECTION = "Quibel.Script"  # what the install keeps for the uninstall: the script, and what it runs

# The folders the NT sections may write to, remove or run from, by DIRID: those that only
# administrators may make or change, since the uninstall runs what lies there with their rights.
SAFE_DIRIDS = {
    "11": "the system folder: the engine's own programs",
    "16425": "the 32-bit system folder: the 32-bit engine's programs on 64-bit Windows",
    "16422": "Program Files: the program folder",
    "16427": "Common Files: the kept script",
    "16407": "the all-users Start menu: the shortcut",
}


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
    """The comma-separated fields of an INF line, unquoted: a quoted field is read as CSV reads it,
    "" inside the quotes standing for one quote."""
    return [field.strip() for field in next(csv.reader([line], skipinitialspace=True))]


def directive(s, section, name):
    """The sections that a directive (say UpdateInis=) of a section names."""
    for line in s.get(section.lower(), []):
        key, _, value = line.partition("=")
        if key.strip().lower() == name.lower():
            return [v.strip() for v in value.split(",")]
    return []


def strings(s):
    """The [Strings] of a script, by name, unquoted."""
    return {name.strip(): value.strip().strip('"') for name, _, value in
            (line.partition("=") for line in s.get("strings", []))}


def kept_files(script):
    """The files beside the script that the install keeps for the uninstall, the script among them."""
    return sections(script).get(KEPT_SECTION.lower(), [])


def product_files(script):
    """The product files the script installs, and what is wrong with its lists of them."""
    s = sections(script)
    lists = {name: s.get(name.lower(), []) for name in PRODUCT_SECTIONS}
    lists["SourceDisksFiles"] = [line.split("=")[0].strip() for line in s.get("sourcedisksfiles", [])]
    names = lists[PRODUCT_SECTIONS[0]]
    expected = {n.lower() for n in names}
    kept = {n.lower() for n in kept_files(script)}
    problems = [] if os.path.basename(script).lower() in kept else \
        ["[%s] does not keep %s for the uninstall" % (KEPT_SECTION, os.path.basename(script))]
    for section, listed in lists.items():
        want = expected | (kept if section == "SourceDisksFiles" else set())
        got = [n.lower() for n in listed]
        if sorted(got) != sorted(want):
            problems.append("[%s] names %s; expected %s" % (section, ", ".join(sorted(got)) or "nothing",
                                                             ", ".join(sorted(want))))
    return names, problems


def summary_promise(print_page):
    """The file count and bytes that the summary page promises the user, or None."""
    text = subprocess.run([print_page, "1"], capture_output=True, check=True).stdout.decode("ascii")
    found = re.search(r"Copy (\d+) files \(([\d,]+) bytes\)", text)
    return (int(found.group(1)), int(found.group(2).replace(",", ""))) if found else None


def estimated_size_problems(s, promised_bytes):
    """Add/Remove Programs' EstimatedSize (KiB, a DWORD given as four bytes) against the page's promise."""
    want = -(-promised_bytes // 1024)
    found = [f for lines in s.values() for f in map(fields, lines) if len(f) > 3 and f[2].lower() == "estimatedsize"]
    problems = [] if found else ["no AddReg line writes EstimatedSize; the summary page promises %s bytes, %d KiB"
                                 % (format(promised_bytes, ","), want)]
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


def quiet_uninstall_problems(s):
    """Each section that writes an UninstallString writes the same uninstall again, quiet, as the
    QuietUninstallString (advpack's flags 1 for 0), and neither lets the engine restart Windows (N)."""
    problems, entries = [], 0
    for name, lines in sorted(s.items()):
        values = {f[2].lower(): f[4] for f in map(fields, lines) if len(f) == 5}
        if "uninstallstring" not in values:
            continue
        entries += 1
        plain, quiet = values["uninstallstring"], values.get("quietuninstallstring", "none")
        if not plain.endswith(",0,N") or quiet != plain[:-4] + ",1,N":
            problems.append("[%s] writes the QuietUninstallString %s for the UninstallString %s; expected the same with "
                            "flags 1 for 0, ending ,N (no restart)" % (name, quiet, plain))
    return problems if entries else ["no section writes an UninstallString"]


def nt_sections(s):
    """The sections the NT engines run: the decorated installs, and the uninstall their entries name."""
    names = [name for name in s if name.startswith("defaultinstall.nt")]
    for install in list(names):
        for entry in directive(s, install, "AddReg"):
            names += [f[4].split(",")[-3].lower() for f in map(fields, s.get(entry.lower(), []))
                      if len(f) == 5 and f[2].lower() == "uninstallstring"]
    return sorted(set(names))


def unsafe_folder_problems(s):
    """Each folder an NT section writes to (DestinationDirs), removes (DelDirs) or runs from (its
    commands, the uninstall entry's) lies under a DIRID on SAFE_DIRIDS."""
    places = []  # (the section that names the folder, its DIRID)
    destinations = {}
    for line in s.get("destinationdirs", []):
        name, _, value = line.partition("=")
        destinations[name.strip().lower()] = fields(value)[0]
    for name in nt_sections(s):
        for listing in directive(s, name, "CopyFiles") + directive(s, name, "DelFiles"):
            places.append((listing, destinations.get(listing.lower(), destinations.get("defaultdestdir", "none"))))
        for listing in directive(s, name, "DelDirs") + directive(s, name, "RunPreSetupCommands") + \
                directive(s, name, "RunPostSetupCommands") + directive(s, name, "AddReg"):
            places += [(listing, dirid) for line in s.get(listing.lower(), []) for dirid in re.findall(r"%(\d+)%", line)]
    return ["[%s] names a folder under DIRID %s, which is not one that only administrators may write (%s)"
            % (section, dirid, ", ".join(sorted(SAFE_DIRIDS))) for section, dirid in sorted(set(places)) if dirid not in SAFE_DIRIDS]


def remover_engine_problems(s):
    """Each NT command that runs a script by wscript names its engine: Windows Script Host otherwise takes
    the one the file's extension is associated with, which hardening often changes."""
    lines = [line for name in nt_sections(s) for listing in directive(s, name, "RunPostSetupCommands")
             for line in s.get(listing.lower(), []) if "wscript.exe" in line.lower()]
    return ["%s runs wscript without //E:JScript" % line for line in lines if "//e:jscript" not in line.lower()] \
        if lines else ["no NT section runs the kept remover by wscript"]


def rules(script, print_page):
    """Each rule the script keeps with the summary page, with what breaks it."""
    names, problems = product_files(script)
    promise = summary_promise(print_page)
    if not promise:
        return [("the summary page promises a file count and size", ["no \"Copy N files (B bytes)\" on the page"])]
    count, size = promise
    s = sections(script)
    return [("the file lists agree", problems),
            ("the page's file count", [] if len(names) == count else
             ["the summary page promises %d files; [%s] names %d" % (count, PRODUCT_SECTIONS[0], len(names))]),
            ("EstimatedSize is the page's bytes", estimated_size_problems(s, size)),
            ("each quiet uninstall is its uninstall, quiet", quiet_uninstall_problems(s)),
            ("the NT sections use only folders that administrators alone may write", unsafe_folder_problems(s)),
            ("the kept remover's engine is named", remover_engine_problems(s)),
            ("the 9x uninstall removes the 9x group lines", group_lines_problems(s))]
