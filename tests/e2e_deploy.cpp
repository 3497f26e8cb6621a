// The end-to-end driver's deploy.cmd role, the quiet install and uninstall as deployment tools run
// them: one table of the machine's states (kRuns), a run of deploy.cmd each, and the quiet install
// from a folder that lacks a product file. e2e_install.cpp walks setup.exe and calls these.
#include <windows.h>
#include <shlobj.h>

#include <stdio.h>
#include <string.h>

#include <functional>
#include <set>
#include <string>

#include "e2e.h"
#include "e2e_install.h"

static const char kSessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// deploy.cmd's command in a form DEPLOY.txt gives: typed in the folder, at a prompt; or by full path,
// as a deployment tool starts it; with ARGS for its "/install".
static std::string DeployForm(const std::string &dir, bool fullPath, const std::string &args)
{
    std::string form = fullPath ? "cmd /d /c \"\"<folder>\\deploy.cmd\" /install\"" : "deploy.cmd /install";
    if (FileBytes(dir + "\\DEPLOY.txt").find("\r\n    " + form + "\r\n") == std::string::npos)
        Fault("DEPLOY.txt: expected the form " + form + ", got none");
    form.replace(form.find("/install"), strlen("/install"), args);
    if (fullPath)
        form.replace(form.find("<folder>"), strlen("<folder>"), dir);
    return fullPath ? form : AtPrompt(form);
}

// A copy of the ship folder at `dir`, without the file `left` (none when empty).
static void CopyShip(const std::string &ship, const std::string &dir, const std::string &left = "")
{
    std::set<std::string> shipped;
    ListTree(ship, &shipped);
    CreateDirectoryA(FolderOf(dir).c_str(), NULL);
    CreateDirectoryA(dir.c_str(), NULL);
    for (const std::string &path : shipped)
        if (path.substr(ship.size() + 1) != left)
            CopyFileA(path.c_str(), (dir + path.substr(ship.size())).c_str(), FALSE);
}

// A quiet install from a copy of the folder that lacks one product file, as after a download cut
// short: it must fail at once, with no window, and leave nothing the detection rule would count.
void RunIncomplete(const std::string &ship, const std::set<std::string> &before)
{
    std::string dir = KnownFolder(CSIDL_WINDOWS).substr(0, 3) + "incomplete folder";
    std::string step = "the quiet install without stations.dat";
    CopyShip(ship, dir, "stations.dat");
    Expect(step, "exit status 1603, not detected",
           Outcome(RunQuietly(step, DeployForm(dir, false, "/install"), dir, WINDOW_WAIT_MS)));
    CheckUnchanged("after " + step, before, {});
}

// What the test changes before a run of deploy.cmd, and puts back after it: besides the entry's
// DisplayVersion, a folder any user may make, named as the program, in the root of the drive; the
// stand-in for Quibel32 running; a product file held open; the user's additions; two product files
// gone from the program folder; reg.exe gone, or one that fails; an entry in the other registry
// view of 64-bit Windows, whose folder holds nothing and whose quiet uninstall holds & | < > ^; the
// program installed by the other engine; changes queued for the next start that name other files
// (quibel32.exe.bak), or a delete of quibel32.exe; a product file cut short in the release folder;
// an fc that answers as Windows' does, with a product file of the release's size held unshared; an
// InstallLocation outside Program Files; no SystemRoot; a bare rundll32.exe as the quiet uninstall,
// with a program of that name in the release folder.
enum Setting { AS_IT_IS, USER_FOLDER, PROGRAM_RUNNING, FILE_HELD, USER_ITEMS, FILES_DELETED, NO_REG, FAILING_REG,
               OTHER_ENTRY, OTHER_ENGINE, QUEUED_OTHERS, QUEUED_DELETE, CUT_SHORT, FC_HELD, OUTSIDE, NO_SYSTEMROOT,
               BARE_QUIET };
// The log it is given: none, a new file in a folder that is there, a file in a folder that is not.
enum Log { NO_LOG, LOG, UNWRITABLE_LOG };
// What must hold after it: the install the summary promises; nothing changed, not even the program's
// time (the engine did not run); the program the release's (the engine ran); the user's items alone
// left; all as before the install; nothing changed, and then, the other engine's install taken away
// by hand, all as before.
enum Then { INSTALLED, UNTOUCHED, PROGRAM_REPLACED, USER_ITEMS_LEFT, AS_BEFORE, UNTOUCHED_THEN_REMOVED };
// Where a run goes: every NT; this machine's Wine alone, the fast loop, where a run costs a second
// and not ten; 64-bit Windows with the 32-bit engine beside the 64-bit one, the emulated 64-bit row.
enum Where { EVERY_NT, FAST_LOOP, BOTH_ENGINES };

// The other view's quiet uninstall, which deploy.cmd names as it stands and never runs.
static const char kOtherQuiet[] = "\"C:\\elsewhere\\remove.exe\" /q & echo ran>\"C:\\ran.txt\" | sort <\"C:\\x\" ^^";

// The machine's states, one a run of deploy.cmd, from copies of the release whose folder names cmd
// reads otherwise, started as a person types it in the folder or, from the system folder, as a
// deployment tool does. Each starts from what the one before left.
static const struct {
    const char *step;
    Setting setting;
    const char *version;  // the entry's DisplayVersion for this run, or NULL
    const char *folder;
    bool fullPath;
    const char *args;
    Log log;
    const char *outcome;
    const char *says;
    Then then;
    Where where;
} kRuns[] = {
    // step                                       set-up           version      release copy    by path verb          log             outcome                           it says                         then                    where
    {"the quiet install, a user's folder in C:\\", USER_FOLDER,     NULL,        "quibel43 (1)", false,  "/install",   NO_LOG,         "exit status 0, detected",        "is installed in",              INSTALLED,              EVERY_NT},
    {"the quiet install again",                   QUEUED_OTHERS,   NULL,        "R&D tools",    true,   "/install",   LOG,            "exit status 0, detected",        "already installed",            UNTOUCHED,              FAST_LOOP},
    {"a newer version installed",                 AS_IT_IS,        "4.10",      "quibel43 (1)", true,   "/install",   UNWRITABLE_LOG, "exit status 1638, not detected", "cannot write the log",         UNTOUCHED,              FAST_LOOP},
    {"a newer version of four parts",             AS_IT_IS,        "4.3.0.1",   "R&D tools",    true,   "/install",   NO_LOG,         "exit status 1638, not detected", "\"4.3.0.1\"",                  UNTOUCHED,              FAST_LOOP},
    {"a newer version with leading zeros",        AS_IT_IS,        "04.09",     "R&D tools",    true,   "/install",   NO_LOG,         "exit status 1638, not detected", "\"04.09\"",                    UNTOUCHED,              FAST_LOOP},
    {"an older version, a large third part",      AS_IT_IS,        "4.2.65535", "R&D tools",    true,   "/install",   NO_LOG,         "exit status 0, detected",        "is installed in",              INSTALLED,              FAST_LOOP},
    {"a version that is no number",               AS_IT_IS,        "4.3b",      "R&D tools",    true,   "/install",   NO_LOG,         "exit status 1603, not detected", "\"4.3b\", which is no version", UNTOUCHED,             FAST_LOOP},
    {"Quibel32 running, not the release's",       PROGRAM_RUNNING, NULL,        "R&D tools",    true,   "/install",   NO_LOG,         "exit status 1618, detected",     "is running",                   UNTOUCHED,              FAST_LOOP},
    {"a file held open, not the release's",       FILE_HELD,       NULL,        "R&D tools",    true,   "/install",   LOG,            "exit status 1603, detected",     "is not this release's",        PROGRAM_REPLACED,       FAST_LOOP},
    {"two product files deleted, a repair",       FILES_DELETED,   NULL,        "quibel43 (1)", false,  "/install",   NO_LOG,         "exit status 0, detected",        "is installed in",              INSTALLED,              FAST_LOOP},
    {"a delete of quibel32.exe queued",           QUEUED_DELETE,   NULL,        "R&D tools",    true,   "/install",   NO_LOG,         "exit status 3010, detected",     "Quibel32\\quibel32.exe\", so", UNTOUCHED,           FAST_LOOP},
    {"a product file cut short in the release",   CUT_SHORT,       NULL,        "R&D tools",    true,   "/install",   NO_LOG,         "exit status 1603, detected",     "stations.dat in \"C:\\releases\\R&D tools\\\" is 41 bytes, not the 82", UNTOUCHED, FAST_LOOP},
    {"fc as Windows', a file held with no sharing", FC_HELD,       NULL,        "R&D tools",    true,   "/install",   NO_LOG,         "exit status 1603, detected",     "stations.dat in",              PROGRAM_REPLACED,       FAST_LOOP},
    {"an InstallLocation outside Program Files",  OUTSIDE,         NULL,        "R&D tools",    true,   "/install",   NO_LOG,         "exit status 1603, detected",     "\"C:\\quibel32 elsewhere\", which is not a folder under Program Files", UNTOUCHED, FAST_LOOP},
    {"SystemRoot not defined",                    NO_SYSTEMROOT,   NULL,        "R&D tools",    true,   "/install",   NO_LOG,         "exit status 1603, detected",     "SystemRoot does not name",     UNTOUCHED,              FAST_LOOP},
    {"an entry in the other view too",            OTHER_ENTRY,     NULL,        "R&D tools",    true,   "/install",   NO_LOG,         "exit status 1603, detected",     "would make a second copy",     UNTOUCHED,              FAST_LOOP},
    {"an entry in the other view, the uninstall", OTHER_ENTRY,     NULL,        "R&D tools",    true,   "/uninstall", NO_LOG,         "exit status 1603, detected",     kOtherQuiet,                    UNTOUCHED,              FAST_LOOP},
    {"reg.exe failing",                           FAILING_REG,     NULL,        "R&D tools",    true,   "/install",   NO_LOG,         "exit status 1603, detected",     "reg.exe\" cannot read",        UNTOUCHED,              FAST_LOOP},
    {"a newer version, the quiet uninstall",      AS_IT_IS,        "4.10",      "R&D tools",    true,   "/uninstall", NO_LOG,         "exit status 1638, not detected", "\"4.10\"",                     UNTOUCHED,              FAST_LOOP},
    {"reg.exe missing, the quiet uninstall",      NO_REG,          NULL,        "R&D tools",    true,   "/uninstall", NO_LOG,         "exit status 1603, detected",     "reg.exe is not on this system", UNTOUCHED,             FAST_LOOP},
    {"a bare rundll32.exe, one in the folder",    BARE_QUIET,      NULL,        "quibel43 (1)", false,  "/uninstall", NO_LOG,         "exit status 1603, detected",     "     rundll32.exe advpack.dll,", UNTOUCHED,            FAST_LOOP},
    {"the quiet uninstall",                       USER_ITEMS,      NULL,        "quibel43 (1)", false,  "/uninstall", NO_LOG,         "exit status 0, not detected",    "is removed",                   USER_ITEMS_LEFT,        EVERY_NT},
    {"the quiet uninstall again",                 AS_IT_IS,        NULL,        "R&D tools",    true,   "/uninstall", LOG,            "exit status 0, not detected",    "not installed",                AS_BEFORE,              FAST_LOOP},
    {"installed by the 64-bit engine",            OTHER_ENGINE,    NULL,        "R&D tools",    true,   "/install",   NO_LOG,         "exit status 0, not detected",    "by the 64-bit setup engine, each file", UNTOUCHED_THEN_REMOVED, BOTH_ENGINES},
};

static bool RunsHere(Where where)
{
    bool twoEngines = sizeof(void *) == 4 && Is64BitWindows();
    return where == EVERY_NT || (where == FAST_LOOP && sizeof(void *) == 8) ||
           (where == BOTH_ENGINES && twoEngines);
}

// The runs of the table here, with the other engine's install and uninstall, each of which may
// wait for the setup engine: the driver's budget.
int DeployRuns()
{
    int runs = 0;
    for (const auto &run : kRuns)
        runs += RunsHere(run.where) * (run.setting == OTHER_ENGINE ? 2 : 1);
    return runs;
}

// The program folder's quibel32.exe where this Windows puts it for the engine deploy.cmd runs, or
// for the other engine (the 64-bit one, for which a 32-bit program is told nothing: the environment says).
static std::string InstalledProgram(bool otherEngine)
{
    return (otherEngine ? Folder64("ProgramW6432") : KnownFolder(CSIDL_PROGRAM_FILES)) + "\\Quibel32\\quibel32.exe";
}

// Makes the row's state, as `step` names it, and gives what puts it back.
static std::function<void()> SetUp(const std::string &step, Setting setting, const std::string &dir,
                                   const std::string &program, HANDLE job)
{
    std::string folder = FolderOf(program), root = KnownFolder(CSIDL_WINDOWS).substr(0, 3) + "quibel32.exe";
    std::string reg = KnownFolder(CSIDL_SYSTEM) + "\\reg.exe";  // deploy.cmd's: the engine's bitness is setup's
    std::string fc = KnownFolder(CSIDL_SYSTEM) + "\\fc.exe", quiet = UninstallValue("QuietUninstallString");
    std::string location = UninstallValue("InstallLocation");
    std::string stations = folder + "\\stations.dat", cut = dir + "\\stations.dat", whole = FileBytes(cut);
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, sizeof self);
    static Program standIn;
    switch (setting) {
    case USER_FOLDER:
        CreateDirectoryA(root.c_str(), NULL);
        return [root] { RemoveDirectoryA(root.c_str()); };
    case PROGRAM_RUNNING:
        if (!CopyFileA(self, program.c_str(), FALSE) || !StartProgram(program, "stay", folder, job, &standIn))
            Fault(step + ": could not start the stand-in for Quibel32");
        return [] {};
    case FILE_HELD: {  // as a viewer holds it: others may read it, not change it
        if (FILE *f = fopen((folder + "\\stations.dat").c_str(), "wb"))
            fputs("the user's edit\r\n", f), fclose(f);
        HANDLE held = CreateFileA((folder + "\\stations.dat").c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        return [held] { CloseHandle(held); };
    }
    case FILES_DELETED:
        DeleteFileA((folder + "\\license.txt").c_str());
        DeleteFileA((folder + "\\stations.dat").c_str());
        return [] {};
    case NO_REG:
    case FAILING_REG:  // this program in its place, which Wine runs only when told to prefer it to its own
        if (!MoveFileA(reg.c_str(), (reg + ".aside").c_str()) || (setting == FAILING_REG && !CopyFileA(self, reg.c_str(), TRUE)))
            Fault(step + ": could not take reg.exe away");
        RegSetKeyValueA(HKEY_CURRENT_USER, kWineOverrides, "reg.exe", REG_SZ, "native", 7);
        return [reg] {
            DeleteFileA(reg.c_str()), MoveFileA((reg + ".aside").c_str(), reg.c_str());
            RegDeleteKeyValueA(HKEY_CURRENT_USER, kWineOverrides, "reg.exe");
        };
    case OTHER_ENTRY: {  // as the other engine writes it, naming a folder that holds nothing
        REGSAM other = sizeof(void *) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
        std::string key = std::string(kUninstallKey) + "\\Quibel32", elsewhere = KnownFolder(CSIDL_PROGRAM_FILES) + "\\elsewhere";
        const std::pair<const char *, const char *> kValues[] = {
            {"DisplayVersion", "4.3"}, {"InstallLocation", elsewhere.c_str()}, {"QuietUninstallString", kOtherQuiet}};
        HKEY hKey;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, NULL, 0, KEY_WRITE | other, NULL, &hKey, NULL);
        for (const auto &value : kValues)
            RegSetValueExA(hKey, value.first, 0, REG_SZ, (const BYTE *)value.second, strlen(value.second) + 1);
        RegCloseKey(hKey);
        return [key, other] { RegDeleteKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), other, 0); };
    }
    case OTHER_ENGINE:  // the 64-bit engine's install, as the script's own context menu runs it
        if (UninstallValue("DisplayVersion", KEY_WOW64_64KEY) == "none")
            RunQuietly(step + ", its set-up", "\"" + SystemProgram("rundll32.exe") + "\" advpack.dll,LaunchINFSection \"" + dir +
                       "\\quibel43.inf\",DefaultInstall.NTamd64,1,N", dir, ENGINE_WAIT_MS);
        Expect(step + ": the 64-bit engine's entry", "REG_SZ 4.3", UninstallValue("DisplayVersion", KEY_WOW64_64KEY));
        return [] {};
    case QUEUED_OTHERS:
    case QUEUED_DELETE: {  // as MoveFileEx queues them: a delete has an empty destination
        std::string queued = setting == QUEUED_DELETE ? "\\??\\" + program + '\0' + '\0'
                           : "\\??\\" + program + ".bak" + '\0' + '\0' + "\\??\\C:\\elsewhere.txt" + '\0' + "!\\??\\" + folder +
                                 "\\readme.txt.new" + '\0';
        queued += '\0';
        RegSetKeyValueA(HKEY_LOCAL_MACHINE, kSessionManager, "PendingFileRenameOperations", REG_MULTI_SZ, queued.data(),
                        queued.size());
        return [] { RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kSessionManager, "PendingFileRenameOperations"); };
    }
    case CUT_SHORT:  // as a copy to a share that broke off
        WriteBytes(cut, whole.substr(0, whole.size() / 2));
        return [cut, whole] { WriteBytes(cut, whole); };
    case FC_HELD: {  // the release's size, other bytes, held by a program that shares it with no one
        if (!MoveFileA(fc.c_str(), (fc + ".aside").c_str()) || !CopyFileA(self, fc.c_str(), TRUE))
            Fault(step + ": could not put an fc in place");
        RegSetKeyValueA(HKEY_CURRENT_USER, kWineOverrides, "fc.exe", REG_SZ, "native", 7);
        WriteBytes(stations, std::string(whole.size(), 'x'));
        HANDLE held = CreateFileA(stations.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        return [fc, held, stations, whole] {
            CloseHandle(held);
            WriteBytes(stations, whole);
            DeleteFileA(fc.c_str()), MoveFileA((fc + ".aside").c_str(), fc.c_str());
            RegDeleteKeyValueA(HKEY_CURRENT_USER, kWineOverrides, "fc.exe");
        };
    }
    case OUTSIDE:  // a folder any user may make, where a user's link could stand for the probe file
        SetEntryValue("InstallLocation", "C:\\quibel32 elsewhere");
        return [location] { SetEntryValue("InstallLocation", location.substr(strlen("REG_SZ "))); };
    case BARE_QUIET:  // as the 9x entry has it, kept through an upgrade; a stranger's program beside it
        SetEntryValue("QuietUninstallString", "rundll32.exe " + quiet.substr(quiet.find("advpack")));
        CopyFileA(self, (dir + "\\rundll32.exe").c_str(), FALSE);
        return [quiet, dir] {
            SetEntryValue("QuietUninstallString", quiet.substr(strlen("REG_SZ ")));
            DeleteFileA((dir + "\\rundll32.exe").c_str());
        };
    default:
        return [] {};
    }
}

// Removes what the 64-bit engine installs, with its entry: its program and kept folders, and the
// Start menu folder both engines share.
static void RemoveOtherEngineInstall()
{
    std::set<std::string> made;
    for (const std::string &dir : {Folder64("ProgramW6432"), Folder64("CommonProgramW6432"), KnownFolder(CSIDL_COMMON_PROGRAMS)}) {
        made.insert(dir + "\\Quibel32");
        ListTree(dir + "\\Quibel32", &made);
    }
    for (auto item = made.rbegin(); item != made.rend(); ++item)  // the longer paths, inside, first
        DeleteFileA(item->c_str()) || RemoveDirectoryA(item->c_str());
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, (std::string(kUninstallKey) + "\\Quibel32").c_str(), KEY_WOW64_64KEY, 0);
}

// deploy.cmd's runs through the states of the table, from nothing installed to nothing installed.
void RunDeployTable(const std::string &ship, const std::set<std::string> &before,
                           const std::set<std::string> &installed)
{
    std::string root = KnownFolder(CSIDL_WINDOWS).substr(0, 3);
    std::string logFile = root + "deploy logs\\quibel32.log", logged;
    CreateDirectoryA(FolderOf(logFile).c_str(), NULL);
    for (const char *folder : {"quibel43 (1)", "R&D tools"})
        CopyShip(ship, root + "releases\\" + folder);
    // As a deployment agent's environment may hold them, in place of cmd's own values.
    SetEnvironmentVariableA("ERRORLEVEL", "1");
    SetEnvironmentVariableA("RANDOM", "1");
    for (const auto &run : kRuns) {
        if (!RunsHere(run.where))
            continue;
        std::string step = run.step, dir = root + "releases\\" + run.folder, args = run.args, output;
        std::string program = InstalledProgram(run.setting == OTHER_ENGINE);
        args += run.log == LOG ? " /log \"" + logFile + "\"" : run.log == UNWRITABLE_LOG ? " /log \"" + root + "no folder\\x.log\"" : "";
        HANDLE job = CreateJobObjectA(NULL, NULL);
        std::function<void()> putBack = SetUp(step, run.setting, dir, program, job);
        std::set<std::string> added = run.setting == USER_ITEMS ? AddUserItems() : std::set<std::string>();
        if (run.version)
            SetDisplayVersion(run.version);
        std::set<std::string> snapshot = run.then == UNTOUCHED || run.then == UNTOUCHED_THEN_REMOVED ? Snapshot()
                                                                                                   : std::set<std::string>();
        // An installed program dated 2000: the engine would give it the release's time.
        const FILETIME kLongAgo = {0, 0x01c00000};
        HANDLE hProgram = CreateFileA(program.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                      FILE_SHARE_DELETE, NULL, OPEN_EXISTING, 0, NULL);
        SetFileTime(hProgram, NULL, NULL, &kLongAgo);
        CloseHandle(hProgram);
        std::string standInBytes = FileBytes(program);
        // Wine gives every program's child a SystemRoot: cmd, which does not, takes it away.
        std::string command = run.setting != NO_SYSTEMROOT ? DeployForm(dir, run.fullPath, args)
                            : SystemProgram("cmd.exe") + " /d /c \"set SystemRoot=&\"" + dir + "\\deploy.cmd\" " + args + "\"";
        DWORD status = RunQuietly(step, command, run.fullPath ? KnownFolder(CSIDL_SYSTEM) : dir, ENGINE_WAIT_MS, &output);
        Expect(step, run.outcome, Outcome(status));
        if (output.find(run.says) == std::string::npos)
            Fault(step + ": expected it to say \"" + run.says + "\", got " + output);
        if (run.log == LOG) {  // each line it printed, after the date and time
            logged += output;
            std::string log = FileBytes(logFile), lines;
            for (size_t at = 0, end; (end = log.find("\r\n", at)) != std::string::npos; at = end + 2) {
                size_t said = log.find("deploy.cmd: ", at);
                lines += said > at && said < end ? log.substr(said, end + 2 - said) : "no date and time: " + log.substr(at, end + 2 - at);
            }
            Expect(step + ": the log", logged, lines);
        }
        if (run.then == INSTALLED)
            CheckInstalled(ship, before, Snapshot());
        if (run.then == UNTOUCHED || run.then == UNTOUCHED_THEN_REMOVED) {
            Expect(step + ": the program", standInBytes, FileBytes(program));
            WIN32_FILE_ATTRIBUTE_DATA times = {};
            GetFileAttributesExA(program.c_str(), GetFileExInfoStandard, &times);
            ExpectNumber(step + ": the program's time, in 100 ns since 1601", kLongAgo.dwHighDateTime,
                         times.ftLastWriteTime.dwHighDateTime);
            Expect(step + ": what the install made", Joined(snapshot), Joined(Snapshot()));
        }
        if (run.then == PROGRAM_REPLACED)
            Expect(step + ": the program", FileBytes(ship + "\\quibel32.exe"), FileBytes(program));
        if (run.version)
            SetDisplayVersion("4.3");
        TerminateJobObject(job, 0);
        WaitForJob(job, WINDOW_WAIT_MS);
        CloseHandle(job);
        putBack();
        if (run.then == USER_ITEMS_LEFT)
            CheckUserItemsKept("after " + step, added, before, installed);
        if (run.then == UNTOUCHED_THEN_REMOVED)  // by hand: the 64-bit engine's uninstall is the fast loop's
            RemoveOtherEngineInstall();
        if (run.then == AS_BEFORE || run.then == UNTOUCHED_THEN_REMOVED)
            CheckUnchanged("after " + step, before, installed);
    }
}
