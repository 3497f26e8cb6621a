"""The quiet install for administrators and deployment tools, written once: each family of
Windows with its command, and the files the command needs (the script's own list). release.py
lays deploy.cmd and DEPLOY.txt from it beside setup.exe; the install tests run each family's
command as DEPLOY.txt words it."""
import textwrap

KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quibel32"
VERSION = "4.3"
# Windows Installer's codes, which deployment tools read: a failed install, a wrong command line.
FAILED, USAGE = 1603, 1639

# The commands, as typed at an elevated command prompt in the release folder. The first two
# families have deploy.cmd, which a 9x command.com cannot run.
INSTALL_NT = "deploy.cmd /install"
INSTALL_9X = "rundll32.exe advpack.dll,LaunchINFSection quibel43.inf,DefaultInstall,1,N"

# The setup engine deploy.cmd runs: that of a 32-bit program, as setup.exe starts it, which on
# 64-bit Windows is the 32-bit one, by its full path (the same file from a 32-bit caller and a
# 64-bit one); on 64-bit Windows without its 32-bit part, the system's own, on the section the
# shell's install verb takes there.
WOW64 = (r"%SystemRoot%\SysWOW64", "DefaultInstall.NT")
NATIVE = (r"%SystemRoot%\System32", "DefaultInstall.NT")
NATIVE_AMD64 = (r"%SystemRoot%\System32", "DefaultInstall.NTamd64")


def engine(system, section, folder):
    """advpack's quiet install (1) of a section, never restarting Windows (N). advpack runs the
    section as named: each family names the one its engine takes."""
    return '"%s\\rundll32.exe" advpack.dll,LaunchINFSection "%squibel43.inf",%s,1,N' % (system, folder, section)


DEPLOY_CMD = r"""@echo off
rem Quibel32 {version}: the quiet install, for administrators and deployment tools (DEPLOY.txt).
rem It installs with no window and no question; its exit status says whether Quibel32 is there.
setlocal
if /i not "%~1"=="/install" goto about
rem A file that is not here would make the engine wait, unseen, or leave it out: install nothing.
for %%f in ({files}) do if not exist "%~dp0%%f" set missing=%%f
if defined missing goto missing
if exist "{wow64}\rundll32.exe" goto wow64
set system={native}
if /i "%PROCESSOR_ARCHITECTURE%"=="AMD64" goto amd64
{native_engine}
goto installed
:amd64
{amd64_engine}
goto installed
:wow64
set system={wow64}
{wow64_engine}
:installed
rem rundll32 tells nothing of how it went: the entry does, read as a detection rule reads it, in
rem the registry view of the engine that wrote it.
for /f "tokens=2,*" %%a in ('""%system%\reg.exe" query "{key}" /v DisplayVersion"') do if "%%b"=="{version}" goto done
echo deploy.cmd: the setup engine did not install Quibel32 (is this prompt elevated?).
exit /b {failed}
:done
echo deploy.cmd: Quibel32 {version} is installed.
exit /b 0
:missing
echo deploy.cmd: %missing% is missing from %~dp0, so nothing was installed.
exit /b {failed}
:about
echo deploy.cmd installs Quibel32 {version} with no window and no question, for administrators and
echo deployment tools: "{install}" at an elevated command prompt (DEPLOY.txt).
echo To install it yourself, start setup.exe.
exit /b {usage}
"""

DEPLOY_TXT = r"""Quibel32 {version}: installed and removed with no window and no question
=====================================================================

setup.exe always shows its pages. For a login script, Group Policy or a deployment tool,
install Quibel32 with the command for the machine's Windows below, typed at an elevated command
prompt (or run as SYSTEM) in this folder. It installs what setup.exe installs: the ten files in
the program folder, the Quibel32 folder in the Start menu, and the uninstall entry.

Keep this folder where ordinary users cannot write: a share the computers can only read, the
deployment tool's own cache, or a folder under Program Files. Not a shared folder such as C:\Temp:
the setup engine runs whatever quibel43.inf it finds here, with the rights of whoever runs it.

The setup engine needs every file the install script names, here beside it; without one it
would wait, with no window, for a disk nobody gives it, or leave the file out:

{files}

64-bit Windows (XP x64, Vista, 7, 8, 10 and 11)
-----------------------------------------------
Install:
    {install}
  It checks that every file above is here (if one is missing it installs nothing), runs the
  32-bit setup engine quietly, as setup.exe does:
    {wow64_engine}
  and reads the uninstall entry as the detection rule below does. (On 64-bit Windows without
  its 32-bit part, it runs the 64-bit engine on {amd64_section} instead, as the shell's own
  install verb would; the entry is then in the 64-bit view.)
Exit status: 0 when Quibel32 {version} is installed; {failed} when it is not (a file missing here,
  or the engine failed, say at a prompt that is not elevated); {usage} without /install, when it
  only says what it is for.
Detection rule: the key {key}
  in the 32-bit registry view (HKLM\Software\WOW6432Node\...), with DisplayVersion "{version}".
Quiet uninstall: run the entry's QuietUninstallString as it stands; the key is gone when it is
  done. Read it with the 32-bit reg.exe, which reads the 32-bit view:
    %SystemRoot%\SysWOW64\reg.exe query "{key}" /v QuietUninstallString

32-bit Windows 2000 and later
-----------------------------
Install:
    {install}
  As on 64-bit Windows, with the system's own setup engine:
    {native_engine}
Exit status: as on 64-bit Windows. (Windows 2000 has reg.exe, which reads the entry, only with
  its Support Tools; without it deploy.cmd reports {failed}.)
Detection rule: the key {key},
  with DisplayVersion "{version}".
Quiet uninstall: run the entry's QuietUninstallString as it stands. Read it with:
    reg query "{key}" /v QuietUninstallString

Windows 95, 98, Me and NT 4 (by the setup engines' published format)
---------------------------------------------------------------------
Install:
    {install_9x}
  There is no deploy.cmd for these: check first that every file above is in this folder.
Exit status: rundll32's tells nothing of how the install went; use the detection rule.
Detection rule: the key {key},
  with DisplayVersion "{version}".
Quiet uninstall: run the entry's QuietUninstallString as it stands. Read it with:
    regedit /e quibel.reg "{key_9x}"

Reboot: none of these commands restarts Windows, or asks to (the engine's N). Close Quibel32
first: a file it holds open is replaced or removed only when Windows next starts.
"""


def texts(files):
    """deploy.cmd and DEPLOY.txt for the files the script names."""
    words = dict(files=" ".join(files), key=KEY, key_9x=KEY.replace("HKLM", "HKEY_LOCAL_MACHINE"),
                 version=VERSION, failed=FAILED, usage=USAGE, install=INSTALL_NT, install_9x=INSTALL_9X,
                 wow64=WOW64[0], native=NATIVE[0], amd64_section=NATIVE_AMD64[1])
    cmd = DEPLOY_CMD.format(**words, wow64_engine=engine(*WOW64, "%~dp0"), native_engine=engine(*NATIVE, "%~dp0"),
                            amd64_engine=engine(*NATIVE_AMD64, "%~dp0"))
    words["files"] = textwrap.fill(", ".join(files), 92, initial_indent=" " * 4, subsequent_indent=" " * 4)
    txt = DEPLOY_TXT.format(**words, wow64_engine=engine(*WOW64, "%CD%\\"), native_engine=engine(*NATIVE, "%CD%\\"))
    return {"deploy.cmd": cmd, "DEPLOY.txt": txt}
