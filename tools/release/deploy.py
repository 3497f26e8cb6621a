"""The quiet install and uninstall for administrators and deployment tools, written once: deploy.cmd
and DEPLOY.txt, with the product's name, version, uninstall key and files read from the script.
release.py lays both beside setup.exe; the install tests run deploy.cmd in the forms DEPLOY.txt gives."""
import os
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


# No parenthesised block anywhere: cmd expands a block's variables when it reads the whole block,
# so a folder named "quibel43 (1)" would end it early. The folder is only ever used quoted. A value
# from the registry is used only when the entry gives it, and never unquoted.
DEPLOY_CMD = r"""@echo off
rem {name} {version}: the quiet install and uninstall, for administrators and deployment tools
rem (DEPLOY.txt). No window, no question; the exit status says what is on disk.
setlocal enableextensions disabledelayedexpansion
rem cmd's own values, which a variable of the caller's environment of the same name would hide.
set "ERRORLEVEL="
set "RANDOM="
rem The folder of this file, taken once: inside a called label %~dp0 may name the current folder
rem instead when the command quoted this file's name.
set "here=%~dp0"
set "verb="
if /i "%~1"=="/install" set verb=install
if /i "%~1"=="/uninstall" set verb=uninstall
set "log="
set "wrong="
set "engine="
set "left="
set "probed="
set "entry="
set "raw="
set "queued="
set "differs="
set "unqueued="
for %%v in ({values}) do set "entry.%%v="
if /i "%~2"=="/log" set "log=%~3"
if not defined verb goto about
if not "%~2"=="" if not defined log goto about
if not "%~4"=="" goto about
if not defined log goto logged
rem Appending nothing opens the log as each line will, and makes it if need be.
set unwritable=1
set "unwritable=" 2>nul >>"%log%"
if not defined unwritable goto logged
echo deploy.cmd: cannot write the log "%log%"; going on without it.
set "log="
:logged
rem Its full path, as the current folder changes below.
if defined log for %%l in ("%log%") do set "log=%%~fl"
rem Every tool by its full path, with the system folder as the current folder, so that nothing is
rem found in the folder the command was started from; a path built on a SystemRoot that is not
rem there would name the root of the current drive, where any user may make folders.
set msg=SystemRoot does not name a Windows folder, so nothing was changed.
if not defined SystemRoot goto failed
if not exist "%SystemRoot%\System32\cmd.exe" goto failed
cd /d "%SystemRoot%\System32"
rem The engine and its registry view: on 64-bit Windows the 32-bit one that setup.exe's install
rem runs. The other view (otherview, its bits) is where the other engine writes its entry: the 64-bit
rem one, run from the script's own context menu.
set "system={native}"
set section={native_section}
set "otherview="
if /i "%PROCESSOR_ARCHITECTURE%"=="AMD64" set otherview=32
if exist "{wow64}\rundll32.exe" set otherview=64
if exist "{wow64}\rundll32.exe" set "system={wow64}"
if "%otherview%"=="32" set section={amd64_section}
rem The release's own record of its files: one missing would make the engine wait, unseen, or leave
rem it out; one of another size (a copy cut short) it would install as it is. Change nothing then.
set "complete={complete}"
set msg=this release folder was made without its product files, so it has no record of them and is incomplete: nothing was changed.
if "%verb%"=="install" if not defined complete goto failed
{record}
if defined wrong for /f "tokens=1-3 delims=:" %%a in ("%wrong%") do set msg=%%a in "%here%" is %%c bytes, not the %%b bytes of this release's %%a: the copy is broken, so nothing was changed.
if defined wrong for /f "tokens=1 delims=:" %%a in ("%wrong%") do if not exist "%here%%%a" set msg=%%a is missing from "%here%", so nothing was changed.
if defined wrong goto failed
rem Each tool by its full path: one that is not there, or fails, is never taken for an answer.
rem Windows 2000 has reg.exe only with its Support Tools.
set "tool="
for %%t in ("%system%\rundll32.exe" "%system%\reg.exe" "%SystemRoot%\System32\find.exe") do if not exist "%%~t" set "tool=%%~t"
set msg=%tool% is not on this system, so nothing was changed.
if defined tool goto failed
rem The other engine's entry first, into other.*; then this engine's, into entry.*. No entry is
rem taken for one only when reg.exe reads a key that every Windows has.
set "other="
for %%v in ({values}) do set "other.%%v="
if defined otherview for /f "tokens=1,2,*" %%a in ('""%system%\reg.exe" query "{key}" /reg:%otherview% 2>nul"') do if "%%b"=="REG_SZ" set "other.%%a=%%c"
for %%v in ({values}) do if defined other.%%v set other=found
if defined other.DisplayVersion set "other.DisplayVersion=%other.DisplayVersion:"=%"
if defined other.InstallLocation set "other.InstallLocation=%other.InstallLocation:"=%"
call :read
set "programs=%ProgramFiles%"
set "programs86=%ProgramFiles(x86)%"
set "programs64=%ProgramW6432%"
if not defined entry "%system%\reg.exe" query "HKLM\Software\Microsoft\Windows\CurrentVersion" >nul 2>&1
if not defined entry if errorlevel 1 set "tool=%system%\reg.exe"
set msg="%tool%" cannot read HKLM\Software\Microsoft\Windows\CurrentVersion, which every Windows has, so nothing was changed.
if defined tool goto failed
call :versions
if defined verdict goto %verdict%
goto %verb%

:install
if defined other goto elsewhere
set "loc=%entry.InstallLocation%"
if defined loc call :placed
if defined loc if not defined placed goto unplaced
if defined loc call :compare
if "%mine%"=="same" if defined loc if not defined differs call :queued {product}
set msg={name} {version} is already installed in "%loc%", each file this release's: nothing to do.
if "%mine%"=="same" if defined loc if not defined differs if not defined queued goto done
if defined queued goto queuedchange
call :inuse
if "%inuse%"=="running" goto running
set msg=this prompt may not change "%loc%": is it elevated?
if defined inuse goto failed
set msg=installing {name} {version} from "%here%" with "%system%\rundll32.exe", %section%.
call :say
{engine}
rem rundll32 tells nothing of how it went: the entry and the files do, read as they are now.
call :read
set "v=%entry.DisplayVersion%"
call :order
set msg=the setup engine did not install {name} {version}: is this prompt elevated?
if not "%order%"=="same" goto failed
set "loc=%entry.InstallLocation%"
set msg=the setup engine wrote no InstallLocation into the uninstall entry, so its files cannot be checked.
if not defined loc goto failed
call :placed
if not defined placed goto unplaced
set engine=ran
call :compare
set msg=%unqueued% in "%loc%" is not this release's after the setup engine ran: is it held open?
if defined unqueued goto failed
set msg={name} {version} is installed once Windows restarts, which replaces %differs% then.
if defined differs goto restart
call :queued {product}
if defined queued goto queuedchange
set msg={name} {version} is installed in "%loc%".
goto done

rem A change that Windows makes at its next start names a file of the program folder: whatever is
rem on disk now, that start changes it (a delete takes the program away, a rename brings a file back).
:queuedchange
set msg=a change queued for the next start of Windows names "%loc%\%queued%", so {name} is not as this release has it until Windows restarts: restart it, then run this again.
goto restart

:unplaced
set msg=the uninstall entry gives InstallLocation "%loc%", which is not a folder under Program Files: nothing was made or deleted there, and nothing was changed.
goto failed

rem Installed by the other engine: this one would make a second copy beside it.
:elsewhere
set "loc=%other.InstallLocation%"
if defined loc call :placed
if defined loc if not defined placed goto unplaced
if defined loc call :compare
if not defined entry if "%theirs%"=="same" if defined loc if not defined differs call :queued {product}
set msg={name} {version} is already installed in "%loc%" by the %otherview%-bit setup engine, each file this release's: nothing to do.
if not defined entry if "%theirs%"=="same" if defined loc if not defined differs if not defined queued goto done
if defined queued goto queuedchange
set msg={name} "%other.DisplayVersion%" is installed in "%loc%" by the %otherview%-bit setup engine, which this command does not change: installing would make a second copy. Remove it first with its entry's QuietUninstallString:
set raw=other.QuietUninstallString
goto failed

:uninstall
set msg={name} is installed in "%other.InstallLocation%" by the %otherview%-bit setup engine, which this command does not remove. Remove it with its entry's QuietUninstallString:
set raw=other.QuietUninstallString
if defined other goto failed
set "raw="
set msg={name} is not installed: nothing to remove.
if not defined entry goto done
set msg=the uninstall entry names no quiet uninstall, so nothing was removed.
if not defined entry.QuietUninstallString goto failed
set "loc=%entry.InstallLocation%"
if defined loc call :placed
if defined loc if not defined placed goto unplaced
rem The entry's command runs only as the system folder's own rundll32 or wscript, by full path (its
rem words, without quotes, are that path and what follows it), with the rest of it read from the
rem registry by a for's variable and handed to that program as it stands, never to cmd.
set "quiet="
set "words=%entry.QuietUninstallString:"=%"
set "after=%words:*\rundll32.exe=%"
if /i "%system%\rundll32.exe%after%"=="%words%" set quiet=rundll32.exe
set "after=%words:*\wscript.exe=%"
if /i "%system%\wscript.exe%after%"=="%words%" set quiet=wscript.exe
set msg=the uninstall entry's QuietUninstallString does not start with "%system%\rundll32.exe" or "%system%\wscript.exe", so it was not run and nothing was removed. It is:
set raw=entry.QuietUninstallString
if not defined quiet goto failed
set "raw="
call :inuse
if "%inuse%"=="running" goto running
set msg=this prompt may not change "%loc%": is it elevated?
if defined inuse goto failed
set msg=removing {name} with its entry's quiet uninstall.
call :say
rem One test of both: Wine's cmd skips an "if /i" that follows another if.
for /f "tokens=1,2* delims== " %%a in ('set entry.QuietUninstallString') do if /i "%%a %%~b"=="entry.QuietUninstallString %system%\%quiet%" "%system%\%quiet%" %%c
call :read
set msg=the uninstall did not remove {name}: its entry is still there.
if defined entry goto failed
for %%f in ({product}) do if defined loc if exist "%loc%\%%f" set "left=%%f"
call :queued {product}
if defined queued goto queuedchange
set msg=the uninstall left %left% in "%loc%".
if defined left goto failed
set msg={name} is removed.
goto done

rem The entry in the engine's own registry view: its values go to entry.*,
rem and entry is set when it holds one of them. A value is taken by a for's variable, which cmd
rem does not read again, and a quote is kept from none of those used inside quotes.
:read
set "entry="
for %%v in ({values}) do set "entry.%%v="
for /f "tokens=1,2,*" %%a in ('""%system%\reg.exe" query "{key}" 2>nul"') do if "%%b"=="REG_SZ" set "entry.%%a=%%c"
for %%v in ({values}) do if defined entry.%%v set entry=found
if defined entry.DisplayVersion set "entry.DisplayVersion=%entry.DisplayVersion:"=%"
if defined entry.InstallLocation set "entry.InstallLocation=%entry.InstallLocation:"=%"
goto :eof

rem Each install's version against {version}: theirs and mine become newer, same or older, the other
rem engine's and this one's. A newer one, or one that is no version, sets verdict with its msg.
:versions
set "v=%other.DisplayVersion%"
set "where= by the %otherview%-bit setup engine"
call :order
set "theirs=%order%"
if defined verdict goto :eof
set "v=%entry.DisplayVersion%"
set "where="
call :order
set "mine=%order%"
goto :eof

rem Sets order to how the version in v compares with {version}: part by part, each a decimal number
rem (a leading zero is no octal), up to four parts, a missing one 0, no version at all older; bad
rem when v is no such version. A newer version sets verdict to newer, a bad one to failed.
:order
set "verdict="
set order=older
if not defined v goto :eof
set order=bad
set "junk="
for /f "delims=0123456789." %%x in ("%v%") do set "junk=%%x"
if not defined junk if not "%v:~0,1%"=="." if not "%v:~-1%"=="." if "%v:..=%"=="%v%" for /f "tokens=1-5 delims=." %%a in ("%v%") do call :parts %%a %%b %%c %%d %%e
set msg=a newer {name} is installed%where%: DisplayVersion "%v%". Nothing was changed.
if "%order%"=="newer" set verdict=newer
if "%order%"=="bad" set verdict=failed
if "%order%"=="bad" set msg=the uninstall entry%where% gives DisplayVersion "%v%", which is no version: up to four numbers joined by dots. Nothing was changed.
goto :eof
:parts
if not "%5"=="" goto :eof
set order=same
call :part {part1} %1
if "%order%"=="same" call :part {part2} %2
if "%order%"=="same" call :part {part3} %3
if "%order%"=="same" call :part {part4} %4
goto :eof
rem This version's part, and the entry's, which may be missing: without its leading zeros, one of ten
rem digits or more is the larger. Its tenth place is read within the text: Wine's cmd reads past the end.
:part
set "p=0"
for /f "tokens=* delims=0" %%z in ("%2") do set "p=%%z"
set "tenth=%p%xxxxxxxxxx"
if not "%tenth:~9,1%"=="x" set order=newer
if not "%tenth:~9,1%"=="x" goto :eof
if %p% GTR %1 set order=newer
if %p% LSS %1 set order=older
goto :eof

rem fc is used only where it says 1 for two files that differ and 0 for two equal ones; else the sizes
rem alone tell (Wine's fc says 0, or 2, for both), and it says so. Tried once, at the first comparison.
rem Once trusted, only its 0 means the same: a file it cannot open (held by another program) differs.
:fc
set probed=1
set "fc=%SystemRoot%\System32\fc.exe"
"%fc%" /b "%here%{script}" "%here%{program}" >nul 2>&1
set "unequal=%errorlevel%"
if "%unequal%"=="1" "%fc%" /b "%here%{script}" "%here%{script}" >nul 2>&1
if "%unequal%"=="1" set "equal=%errorlevel%"
if not "%unequal% %equal%"=="1 0" set "fc="
set msg=this system's fc said %unequal% for two files that differ, not 1: comparing sizes alone.
if "%unequal%"=="1" set msg=this system's fc said %equal% for two equal files, not 0: comparing sizes alone.
if not defined fc call :say
goto :eof

rem Sets differs to a product file in the program folder loc that is not this release's, and after
rem the engine unqueued to one that is not left for the next start either: the sizes, then the bytes.
rem The sizes are the release's record, read a line a file: each call of a label reads this file
rem again, and Wine's cmd tells no size of a path made with another for's variable.
:compare
set "differs="
set "unqueued="
if not defined probed call :fc
{installed}
if defined fc for %%f in ({product}) do call :same %%f
goto :eof
:same
if defined differs if not defined engine goto :eof
"%fc%" /b "%here%%1" "%loc%\%1" >nul 2>&1
set "status=%errorlevel%"
if "%status%"=="0" goto :eof
:differs
set "differs=%1"
if not defined engine goto :eof
call :queued %1
if not defined queued set "unqueued=%1"
goto :eof

rem Sets queued to the first of the files named after it, in the program folder loc, that a change
rem queued for the next start of Windows names as its source or its destination: each name in
rem PendingFileRenameOperations ends in \0 once one more is put after the last, so a whole path
rem matches, never a longer name (quibel32.exe.bak). A search that cannot tell counts as queued.
:queued
set "queued="
set "pending="
if not defined loc goto :eof
rem Most machines have none: reg alone says so, without a prompt to read it through.
"%system%\reg.exe" query "{session_manager}" /v PendingFileRenameOperations >nul 2>&1
if errorlevel 1 goto :eof
for /f "tokens=1,2,*" %%a in ('""%system%\reg.exe" query "{session_manager}" /v PendingFileRenameOperations 2>nul"') do if "%%b"=="REG_MULTI_SZ" set "pending=%%c\0"
if not defined pending goto :eof
for %%f in (%*) do call :named %%f
goto :eof
rem Wine's find takes no /i: then the names are matched as they are written.
:named
if defined queued goto :eof
set pending| "%SystemRoot%\System32\find.exe" /i "\??\%loc%\%1\0" >nul 2>&1
set "status=%errorlevel%"
if "%status%"=="2" set pending| "%SystemRoot%\System32\find.exe" "\??\%loc%\%1\0" >nul 2>&1
if "%status%"=="2" set "status=%errorlevel%"
if not "%status%"=="1" set "queued=%1"
goto :eof

rem Sets placed when the program folder loc lies under a Program Files folder, in its long or its
rem 8.3 form: only administrators may change what is there, so nothing made or deleted in it can
rem follow a link a user put in its place.
rem The folders are read at the top: Wine's cmd fails on an undefined variable of that form in a
rem for's set, and on a set of two paths of which one holds a ")". One that is not defined would
rem name the current folder.
:placed
set "placed="
set "up=%loc%"
:placed.up
for %%u in ("%up%\..") do set "next=%%~fsu"
if /i "%next%"=="%up%" goto :eof
set "up=%next%"
if defined programs for %%p in ("%programs%") do if /i "%%~fsp"=="%up%" set placed=1
if defined programs86 for %%p in ("%programs86%") do if /i "%%~fsp"=="%up%" set placed=1
if defined programs64 for %%p in ("%programs64%") do if /i "%%~fsp"=="%up%" set placed=1
if not defined placed goto placed.up
goto :eof

rem Sets inuse to denied when this prompt may not change the program folder loc (a file of its own
rem cannot be made there), else to running when {program} is running from it: opening it to append
rem nothing fails then, and the engine could replace none of its files in use, nor the uninstall
rem remove them. A folder that is not there holds nothing in use.
:inuse
set "inuse="
if not defined loc goto :eof
if not exist "%loc%\*" goto :eof
set "probe=%loc%\deploy-%random%%random%.tmp"
if exist "%probe%" goto inuse
set inuse=denied
set "inuse=" 2>nul >"%probe%"
del /f /q "%probe%" >nul 2>&1
if defined inuse goto :eof
if not exist "%loc%\{program}" goto :eof
set inuse=running
set "inuse=" 2>nul >>"%loc%\{program}"
goto :eof

:say
echo deploy.cmd: %msg%
if defined log >>"%log%" echo %date% %time% deploy.cmd: %msg%
if not defined raw goto :eof
rem Registry text, printed as it stands from a for's variable: nothing in it is run.
for /f "tokens=1* delims==" %%a in ('set %raw%') do if /i "%%a"=="%raw%" echo deploy.cmd:     %%b
if defined log for /f "tokens=1* delims==" %%a in ('set %raw%') do if /i "%%a"=="%raw%" >>"%log%" echo %date% %time% deploy.cmd:     %%b
set "raw="
goto :eof

:done
call :say
exit /b 0
:failed
call :say
exit /b {failed}
:newer
call :say
exit /b {newer}
:running
set msg={name} is running from "%loc%", so nothing was changed: close it and run this again.
call :say
exit /b {running}
:restart
call :say
exit /b {restart}

:about
echo deploy.cmd installs or removes {name} {version} with no window and no question, for
echo administrators and deployment tools, at an elevated prompt: deploy.cmd /install or
echo deploy.cmd /uninstall, either with /log FILE after it. DEPLOY.txt says more.
echo To install it yourself, start setup.exe.
exit /b {usage}
"""

DEPLOY_TXT = r"""{name} {version}: installed and removed with no window and no question
=====================================================================

setup.exe always shows its pages. For a startup script or a deployment tool, deploy.cmd in this
folder installs and removes {name} on Windows 2000 and later, run as SYSTEM or at an elevated
command prompt. It installs what setup.exe installs: the ten files in the program folder, the
{name} folder in the Start menu, and the uninstall entry.

Keep this folder where ordinary users cannot write: a share the computers can only read, the
deployment tool's own cache, or a folder under Program Files. Not a shared folder such as C:\Temp:
the setup engine runs whatever {script} it finds here, with the rights of whoever runs it.

The setup engine needs every file the install script names, here beside it; without one it
would wait, with no window, for a disk nobody gives it, or leave the file out. deploy.cmd holds
the size of each, as this release laid it, and installs nothing when one is missing or of another
size (a copy to a share that broke off):

{files}

The command
-----------
Typed at a prompt in this folder:
    {typed}
    deploy.cmd /uninstall
By full path, from any folder or a share (a deployment tool, a startup script), with <folder>
this folder's path, in the quotes shown, whatever the folder's name holds:
    {full_path}
    cmd /d /c ""<folder>\deploy.cmd" /uninstall"
Started as "<folder>\deploy.cmd" /install after cmd /c, without the outer quotes, it fails in a
folder named with ( ), &, ^, ;, = or a comma: cmd then strips the first and the last quote.
After either verb, /log FILE appends each line deploy.cmd prints to FILE, with the date and
time, and makes the file if need be. A log it cannot write does not stop it: it says so, and
goes on. Give /log only a folder that only administrators may write, as the recipes below do:
deploy.cmd runs as SYSTEM, and in a folder any user may write (C:\Temp, a folder a user made
under C:\ProgramData) a user can put a link where the log will be, and SYSTEM then writes into
whatever file the link names.

Exit status
-----------
    0     done: {name} {version} installed, each file this release's; /uninstall: nothing of it left
    {failed}  failed: a file here missing or of another size than this release's, a prompt not
          elevated, a file left other than the release's, reg.exe missing or failing, SystemRoot
          not set to the Windows folder, an entry whose DisplayVersion is no version, whose
          InstallLocation is not under Program Files or whose QuietUninstallString does not start
          with the system folder's rundll32.exe or wscript.exe, or {name} installed by the other
          setup engine of 64-bit Windows (the message says how to remove it)
    {running}  {name} is running from its program folder: nothing was changed
    {newer}  a newer {name} is installed (either verb): nothing was changed
    {usage}  no /install or /uninstall: it only says what it is for
    {restart}  restart Windows: a file another program held open is replaced then, or a change queued
          for the next start of Windows (PendingFileRenameOperations) names a file of the program
          folder; neither verb says 0 while one does. Run it again after the restart.
{running} for a running {name}, not an install that ends at the next start: the engine would leave
the files in use for the next start, and this command never restarts Windows, so the machine
would run the old program, reported done, until someone restarted it. Deployment tools retry
{running} by themselves, and the next try finds {name} closed.

What it does
------------
Both verbs first read the uninstall entry with reg.exe, in both registry views on 64-bit
Windows, and compare its DisplayVersion with {version} part by part, each part a number: 2.10 is
newer than 2.9, 2.09 is 2.9, and a missing part counts as 0. A newer version in either view stops
either verb with {newer}; a DisplayVersion that is not up to four numbers joined by dots, with
{failed}, naming it.
/install:
- checks that every file above is here, each of the size this release gave it, or stops with
  {failed}, naming the file and its size;
- {version}, with each of the ten files in the program folder this release's (fc /b where this
  system's fc tells equal files from different ones, else their sizes; once fc is trusted, only
  its 0 counts as equal, so a file it cannot open counts as changed), is done already: it runs
  nothing, says so, and exits 0. A file missing from the program folder, or changed, is put back:
  the install runs again;
- an install by the other setup engine of 64-bit Windows (the 64-bit one, which the script's own
  context menu runs) is the same program: {version} with each file this release's is done
  already, and anything else stops it with {failed}, naming that install and its quiet uninstall,
  rather than make a second copy beside it;
- stops with {failed} when this prompt may not change the program folder (a file of its own
  cannot be made there), and with {running} while {name} is running from it;
- runs the setup engine quietly, as setup.exe does: on 64-bit Windows the 32-bit one,
    {wow64_engine}
  on 32-bit Windows the system's own, by %SystemRoot%\System32 on the same section, and on
  64-bit Windows without its 32-bit part the 64-bit one, on {amd64_section};
- reads the entry and the files again: 0 only when the entry says {version} and each file is this
  release's (or {restart} when the engine left one for the next start).
/uninstall removes {version} or an older version: it runs the entry's QuietUninstallString, read
from the same registry view, then checks that the entry and the ten files are gone. With {name}
not installed, it says so and exits 0. An install by the other setup engine stops it with
{failed}, naming that install's own quiet uninstall. The QuietUninstallString runs only when it
starts with the system folder's rundll32.exe or wscript.exe by full path (an entry from older
Windows with a bare rundll32.exe is named, and not run), with the rest of it handed to that
program as it stands.
Either verb: a change queued for the next start of Windows that names a file of the program
folder, as its source or its destination, by its whole path, makes {restart}, never 0; an
InstallLocation not under Program Files (a folder users may change) makes {failed}, with nothing
made or deleted there. Everything it starts, it starts by full path with the system folder as the
current folder; without SystemRoot naming a folder that holds System32\cmd.exe it stops with
{failed} at once. What it prints from the registry comes out as it stands: & | < > ^ in a value
are printed, never run.

Recipes
-------
Each tool below runs deploy.cmd as SYSTEM, in its own copy of this folder.

Microsoft Intune, a Win32 app (this folder packed with deploy.cmd as its setup file):
  Install command:
    deploy.cmd /install /log "%ProgramData%\Microsoft\IntuneManagementExtension\Logs\{name}-deploy.log"
  Uninstall command:
    deploy.cmd /uninstall /log "%ProgramData%\Microsoft\IntuneManagementExtension\Logs\{name}-deploy.log"
  Install behavior: System. Device restart behavior: Determine behavior based on return codes.
  Return codes: the defaults already hold 0 (Success), {restart} (Soft reboot) and {running} (Retry):
    add none. {newer}, {failed} and {usage} count as failures.
  Detection rule: Registry, Key path
      {key_long}
    Value name DisplayVersion, Detection method Version comparison, Operator Greater than or
    equal to, Value {version}, Associated with a 32-bit app on 64-bit clients: Yes.
    A machine with a newer {name} is then detected as done, and never taken back to {version}.

Configuration Manager, an application with a Script Installer deployment type:
  Installation program: deploy.cmd /install /log "%SystemRoot%\CCM\Logs\{name}-deploy.log"
  Uninstall program:    deploy.cmd /uninstall /log "%SystemRoot%\CCM\Logs\{name}-deploy.log"
  Detection method: Registry setting, Hive HKEY_LOCAL_MACHINE, Key
      {key_short}
    Value DisplayVersion, "This registry key is associated with a 32-bit application on 64-bit
    systems" ticked, Data Type Version, Operator Greater than or equal to, Value {version}.
  User experience: Install for system, whether or not a user is logged on, Hidden.
  Return codes: the defaults already hold 0 (Success), {restart} (Soft Reboot) and {running} (Fast
    Retry): add none.

A Group Policy startup script (Computer Configuration, Policies, Windows Settings, Scripts,
Startup), with this folder on a share:
  Script Name: \\server\share\{release}\deploy.cmd
  Script Parameters: /install /log "%SystemRoot%\Logs\{name}-deploy.log"
  The script runs as the computer's account: give Domain Computers read access to the share and
  to its files. It runs at every start; once {name} {version} is installed, deploy.cmd only
  checks the files, changes nothing and exits 0.

The uninstall entry, for any other tool
---------------------------------------
Detection rule: the key
    {key}
  in the 32-bit registry view on 64-bit Windows (HKLM\Software\WOW6432Node\...), with
  DisplayVersion "{version}" or later.
Quiet uninstall: the entry's QuietUninstallString as it stands. On 64-bit Windows, read it with
  the 32-bit reg.exe, which reads the 32-bit view:
    %SystemRoot%\SysWOW64\reg.exe query "{key}" /v QuietUninstallString
  and on 32-bit Windows with reg.exe. Windows 2000 has no reg.exe of its own: its Support Tools
  (SUPPORT\TOOLS on the Windows 2000 CD) install one under Program Files\Support Tools, where
  deploy.cmd does not look. Copy that reg.exe into %SystemRoot%\System32 first; without it
  deploy.cmd reports {failed}.

Windows 95, 98, Me and NT 4 (by the setup engines' published format)
---------------------------------------------------------------------
Install:
    {install_9x}
  There is no deploy.cmd for these: check first that every file above is in this folder.
Exit status: rundll32's tells nothing of how the install went; use the detection rule.
Detection rule: the key above, with DisplayVersion "{version}".
Quiet uninstall: run the entry's QuietUninstallString as it stands. Read it with:
    regedit /e quibel.reg "{key_long}"

Reboot: none of these commands restarts Windows, or asks to (the engine's N).
"""


def facts(script):
    """The product's name, version, uninstall key and files, as the script has them."""
    s = install_script.sections(script)
    words = install_script.strings(s)
    shortcut = install_script.directive(s, "DefaultInstall.NT", "ProfileItems")[0]
    product = install_script.product_files(script)[0]
    command = [line.partition("=")[2] for line in s[shortcut.lower()] if line.lower().startswith("cmdline")][0]
    return {"script": os.path.basename(script), "name": words["ShortcutName"], "version": words["DisplayVersion"],
            "key": "HKLM\\" + words["UninstallKey"], "product": product, "kept": install_script.kept_files(script),
            "program": install_script.fields(command)[-1], "text": [n for n in product if n.endswith(".txt")][-1]}


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
                 text=f["text"], typed=TYPED, full_path=FULL_PATH, install_9x=INSTALL_9X.format(script=f["script"]),
                 session_manager=SESSION_MANAGER, values="DisplayName DisplayVersion InstallLocation QuietUninstallString",
                 wow64=WOW64[0], native=NATIVE[0], native_section=NATIVE[1], amd64_section=NATIVE_AMD64[1])
    names = f["product"] + f["kept"]
    record = "\n".join('if "%%verb%%"=="install" for %%%%r in ("%%here%%%s") do if not "%%%%~zr"=="%d" set "wrong=%s:%d:%%%%~zr"'
                       % (name, sizes[name], name, sizes[name]) for name in names) if sizes else "rem No record."
    installed = "\n".join('for %%%%i in ("%%loc%%\\%s") do if not "%%%%~zi"=="%d" call :differs %s' % (name, sizes[name], name)
                          for name in f["product"]) if sizes else "rem No record."
    cmd = DEPLOY_CMD.format(**words, record=record, installed=installed, complete="1" if sizes else "", product=" ".join(f["product"]),
                            engine=engine("%system%", "%section%", "%here%", f["script"]),
                            **{"part%d" % (n + 1): int(p) for n, p in enumerate(parts + ["0"] * (4 - len(parts)))})
    files = textwrap.fill(", ".join(f["product"] + f["kept"]), 92, initial_indent=" " * 4, subsequent_indent=" " * 4)
    txt = DEPLOY_TXT.format(**words, files=files, wow64_engine=engine(*WOW64, "<folder>\\", f["script"]))
    return {"deploy.cmd": cmd, "DEPLOY.txt": txt}
