// The end-to-end driver's install role: the real install by the platform's setup engine, checked
// against every promise of the summary page, and its uninstalls. First setup.exe walked and its
// entry removed as Add/Remove Programs does it; then the quiet install as DEPLOY.txt words it for
// this Windows and the entry's quiet uninstall, each with no window while a watcher of the display
// looks on (the same watcher must see the walked pages); and where deploy.cmd runs, its states and a
// quiet install from a folder that lacks a product file (e2e_deploy.cpp). Three cases, each of which
// starts and ends with nothing installed, so that E2E_CASES can pick one.
#include <windows.h>
#include <shlobj.h>

#include <stdio.h>
#include <string.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "e2e.h"
#include "e2e_install.h"
#include "probe.h"

const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
static const char kGroupIni[] = "setup.ini";  // where the 9x engine leaves Start menu groups for the shell
const char kWineOverrides[] = "Software\\Wine\\DllOverrides";

bool Is64BitWindows()
{
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    return sizeof(void *) == 8 || wow64;
}

static bool IsWindows9x()
{
    return GetVersion() & 0x80000000;
}

// What the Windows this runs on tells a program, in the words of tools/machine/windows.list.
static std::string WindowsSeen()
{
    OSVERSIONINFOA v = {sizeof v};
    GetVersionExA(&v);
    char seen[48];
    snprintf(seen, sizeof seen, "%s %lu.%lu %s", IsWindows9x() ? "9x" : "NT", v.dwMajorVersion, v.dwMinorVersion,
             Is64BitWindows() ? "64-bit" : "32-bit");
    return seen;
}

std::string KnownFolder(int csidl)
{
    char path[MAX_PATH] = "";
    SHGetFolderPathA(NULL, csidl, NULL, 0, path);
    return path;
}

// Adds the path of everything under `dir` to `names`.
void ListTree(const std::string &dir, std::set<std::string> *names)
{
    WIN32_FIND_DATAA found;
    HANDLE hFind = FindFirstFileA((dir + "\\*").c_str(), &found);
    for (BOOL more = hFind != INVALID_HANDLE_VALUE; more; more = FindNextFileA(hFind, &found)) {
        std::string name = found.cFileName, path = dir + "\\" + name;
        if (name == "." || name == "..")
            continue;
        names->insert(path);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ListTree(path, names);
    }
    if (hFind != INVALID_HANDLE_VALUE)
        FindClose(hFind);
}

// The entries of an ini file in the Windows folder, as "[section] key=value".
static std::set<std::string> IniEntries(const char *file)
{
    std::set<std::string> entries;
    std::vector<char> sections(65536), lines(65536);
    GetPrivateProfileSectionNamesA(sections.data(), sections.size(), file);
    for (const char *section = sections.data(); *section; section += strlen(section) + 1) {
        GetPrivateProfileSectionA(section, lines.data(), lines.size(), file);
        for (const char *line = lines.data(); *line; line += strlen(line) + 1)
            entries.insert("[" + std::string(section) + "] " + line);
    }
    return entries;
}

// A folder of 64-bit Windows' own, such as ProgramW6432, which only a 64-bit program is told of:
// the environment says; empty where there is none.
std::string Folder64(const char *variable)
{
    char folder[MAX_PATH] = "";
    GetEnvironmentVariableA(variable, folder, MAX_PATH);
    return folder;
}

// Everything the install may add to, and the uninstall must leave as it was: both Program Files
// folders, both Start menus and the one the 9x sections name (%10%\Start Menu\Programs), the INF
// folder, the uninstall keys in both registry views (one and the same view on 32-bit Windows) and
// the 9x engine's groups file. Nothing is left out: Wine's own temp and log files are written elsewhere.
std::set<std::string> Snapshot()
{
    std::set<std::string> names;
    for (const std::string &dir : {KnownFolder(CSIDL_PROGRAM_FILES), KnownFolder(CSIDL_PROGRAM_FILESX86),
                                   Folder64("ProgramW6432"), KnownFolder(CSIDL_COMMON_PROGRAMS),
                                   KnownFolder(CSIDL_PROGRAMS), KnownFolder(CSIDL_WINDOWS) + "\\Start Menu\\Programs",
                                   KnownFolder(CSIDL_WINDOWS) + "\\inf"})
        if (!dir.empty())
            ListTree(dir, &names);
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        HKEY hKey;
        char name[256];
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ | view, &hKey) != ERROR_SUCCESS)
            continue;
        for (DWORD i = 0; RegEnumKeyA(hKey, i, name, sizeof name) == ERROR_SUCCESS; i++)
            names.insert(std::string(view == KEY_WOW64_32KEY ? "HKLM (32-bit view)\\" : "HKLM (64-bit view)\\") +
                         kUninstallKey + "\\" + name);
        RegCloseKey(hKey);
    }
    for (const std::string &entry : IniEntries(kGroupIni))
        names.insert(std::string(kGroupIni) + ": " + entry);
    return names;
}

static std::string ShortcutTarget(const std::string &path)
{
    char target[MAX_PATH] = "no shortcut";
    WCHAR wide[MAX_PATH];
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH);
    IShellLinkA *link = NULL;
    IPersistFile *file = NULL;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA, (void **)&link)) &&
        SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void **)&file)) && SUCCEEDED(file->Load(wide, STGM_READ)))
        link->GetPath(target, MAX_PATH, NULL, 0);
    if (file)
        file->Release();
    if (link)
        link->Release();
    return target;
}

// A value of the uninstall entry in one registry view (0: this program's own) with its type, as
// "REG_SZ text" or "REG_DWORD 12"; "none" when it is not there.
std::string UninstallValue(const char *name, REGSAM view)
{
    char value[1024];
    DWORD size = sizeof value - 1, type = REG_NONE;
    HKEY hKey;
    std::string found = "none";
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kUninstallKey) + "\\Quibel32").c_str(), 0,
                      KEY_READ | view, &hKey) != ERROR_SUCCESS)
        return found;
    if (RegQueryValueExA(hKey, name, NULL, &type, (BYTE *)value, &size) == ERROR_SUCCESS) {
        value[size] = 0;
        if (type == REG_SZ)
            found = std::string("REG_SZ ") + value;
        else if (type == REG_DWORD && size == 4)
            found = "REG_DWORD " + std::to_string(*(DWORD *)value);
        else
            found = "type " + std::to_string(type) + ", " + std::to_string(size) + " bytes";
    }
    RegCloseKey(hKey);
    return found;
}

// A value of this program's view of the entry, as another version's install, or this one's, writes it.
void SetEntryValue(const char *name, const std::string &value)
{
    RegSetKeyValueA(HKEY_LOCAL_MACHINE, (std::string(kUninstallKey) + "\\Quibel32").c_str(), name, REG_SZ,
                    value.c_str(), value.size() + 1);
}

void SetDisplayVersion(const char *version)
{
    SetEntryValue("DisplayVersion", version);
}

// The first entry of a section of the groups file, without the "=" Wine writes after a bare line.
static std::string FirstGroupEntry(const char *section)
{
    char lines[4096] = "";
    GetPrivateProfileSectionA(section, lines, sizeof lines, kGroupIni);
    std::string line = lines;
    return !line.empty() && line.back() == '=' ? line.substr(0, line.size() - 1) : line.empty() ? "none" : line;
}

// The copy of the script that the entry's uninstall runs: on 2000 and later in a folder of its own
// under Common Files (of setup's bitness), which only administrators may write; on 9x, which has no
// such folder, in the INF folder.
static std::string KeptScript()
{
    return IsWindows9x() ? KnownFolder(CSIDL_WINDOWS) + "\\inf\\quibel43.inf"
                         : KnownFolder(CSIDL_PROGRAM_FILES_COMMON) + "\\Quibel32\\quibel43.inf";
}

// The entry's uninstall, with the engine's window (flags '0') or quiet ('1'), never restarting
// Windows: advpack on the kept script (its path quoted where it may hold spaces), by the rundll32
// of the engine's own bitness, which each family's section names.
static std::string EntryUninstall(char flags)
{
    char system[MAX_PATH] = "";
    GetSystemDirectoryA(system, MAX_PATH);
    if (IsWindows9x())
        return "rundll32.exe advpack.dll,LaunchINFSection " + KeptScript() + ",Uninstall.9x," + flags + ",N";
    std::string engine = sizeof(void *) == 8 ? std::string(system) : KnownFolder(CSIDL_SYSTEMX86);
    return "\"" + engine + "\\rundll32.exe\" advpack.dll,LaunchINFSection \"" + KeptScript() + "\",DefaultUninstall," +
           flags + ",N";
}

// What the summary page promises: the ten files in the program folder (where this Windows puts
// a program of setup's bitness) and nothing else there, a Start menu folder with a shortcut to the
// program, and an uninstall entry in that program's registry view alone, whose uninstall runs a
// copy of the script kept outside the Windows folder (on 2000 and later) and the program folder.
void CheckInstalled(const std::string &ship, const std::set<std::string> &before,
                    const std::set<std::string> &installed)
{
    std::string folder = KnownFolder(CSIDL_PROGRAM_FILES) + "\\Quibel32";
    std::set<std::string> shipped, inFolder;
    ListTree(ship, &shipped);
    ListTree(folder, &inFolder);
    int products = 0;
    for (const std::string &path : shipped) {
        std::string name = path.substr(ship.size() + 1);
        if (name == "setup.exe" || name == "quibel43.inf" || name == "quibel43.js" || name == "deploy.cmd" || name == "DEPLOY.txt" ||
            name == STRANGER_LIBRARY || name == SYSTEM_NAMED_LIBRARY)
            continue;
        products++;
        Expect(name + " installed", FileBytes(path), FileBytes(folder + "\\" + name));
    }
    ExpectNumber("product files shipped", 10, products);
    ExpectNumber("entries in the program folder", 10, inFolder.size());
    if (IsWindows9x()) {
        // Wine has no 9x group converter: the group is checked where the engine leaves it for one.
        char group[64] = "none";
        GetPrivateProfileStringA("progman.groups", "quibel", "none", group, sizeof group, kGroupIni);
        Expect("Start menu group in setup.ini", "Quibel32", group);
        Expect("group's shortcut in setup.ini", "\"Quibel32\",\"" + folder + "\\quibel32.exe\"", FirstGroupEntry("quibel"));
    } else {
        Expect("shortcut target", folder + "\\quibel32.exe",
               ShortcutTarget(KnownFolder(CSIDL_COMMON_PROGRAMS) + "\\Quibel32\\Quibel32.lnk"));
    }
    const struct {
        const char *name;
        std::string value;
    } kEntry[] = {
        // value                 type and content
        {"DisplayName",          "REG_SZ Quibel32 version 4.3"},
        {"DisplayVersion",       "REG_SZ 4.3"},
        {"Publisher",            "REG_SZ Quibel Tide Software"},
        {"DisplayIcon",          "REG_SZ " + folder + "\\quibel32.exe,0"},
        {"InstallLocation",      "REG_SZ " + folder},
        {"EstimatedSize",        "REG_DWORD 3957"},  // KiB: the summary page's 4,051,770 bytes, rounded up
        {"NoModify",             "REG_DWORD 1"},
        {"NoRepair",             "REG_DWORD 1"},
        {"UninstallString",      "REG_SZ " + EntryUninstall('0')},  // each family's section writes its own
        {"QuietUninstallString", "REG_SZ " + EntryUninstall('1')},
    };
    for (const auto &value : kEntry)
        Expect(std::string("uninstall entry's ") + value.name, value.value, UninstallValue(value.name));
    if (Is64BitWindows())
        Expect("uninstall entry in the other registry view", "none",
               UninstallValue("DisplayName", sizeof(void *) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY));
    Expect("script kept where the entry names it", FileBytes(ship + "\\quibel43.inf"), FileBytes(KeptScript()));
    if (!IsWindows9x())
        Expect("folder remover kept beside it", FileBytes(ship + "\\quibel43.js"),
               FileBytes(FolderOf(KeptScript()) + "\\quibel43.js"));
    std::string appData = KnownFolder(CSIDL_COMMON_APPDATA) + "\\Quibel32";  // any user may make it, and own it
    Expect("in the all-users application data", "nothing",
           GetFileAttributesA(appData.c_str()) == INVALID_FILE_ATTRIBUTES ? "nothing" : appData);
    std::string inf = KnownFolder(CSIDL_WINDOWS) + "\\inf\\", added;
    for (const std::string &name : installed)
        if (!before.count(name) && name.compare(0, inf.size(), inf) == 0)
            added += name + ";";
    Expect("added to the INF folder", IsWindows9x() ? KeptScript() + ";" : "", added);
}

// Wine's wscript takes no //E:JScript, which Windows' own does, so under Wine the uninstall leaves its
// last step's remover, and the folders it would remove: said so, and done here. In the fast loop the
// remover runs as that step runs it, without //E; in the emulated machine, where a program costs ten
// seconds, the test does what it does: deletes it, and removes each of the three folders that is empty.
static void RunLeftRemover()
{
    std::string kept = KnownFolder(CSIDL_PROGRAM_FILES_COMMON) + "\\Quibel32", remover = kept + "\\quibel43.js";
    const std::string kFolders[] = {KnownFolder(CSIDL_PROGRAM_FILES) + "\\Quibel32", KnownFolder(CSIDL_COMMON_PROGRAMS) + "\\Quibel32", kept};
    if (GetFileAttributesA(remover.c_str()) == INVALID_FILE_ATTRIBUTES)
        return;
    printf("       Wine's wscript takes no //E: %s %s\n", remover.c_str(),
           sizeof(void *) == 8 ? "run as the uninstall runs it, without //E" : "and its folders taken away as it would");
    if (sizeof(void *) == 4) {
        DeleteFileA(remover.c_str());
        for (const std::string &folder : kFolders)
            RemoveDirectoryA(folder.c_str());
        return;
    }
    HANDLE job = CreateJobObjectA(NULL, NULL);
    Program run;
    if (!StartCommand("wscript.exe //B //NoLogo \"" + remover + "\" \"" + kFolders[0] + "\" \"" + kFolders[1] + "\" \"" + kept + "\"",
                      kept, job, &run) || !WaitForJob(job, ENGINE_WAIT_MS))
        Fault("the kept remover did not run to its end");
    CloseHandle(job);
}

// What an uninstall must have left as it was before the install. The exception is on 98: Wine's
// setup engine carries out only the adding half of UpdateInis, so the group lines the install wrote
// to setup.ini stay. They are named, not passed over; that the script's remove lines are exactly
// those lines is checked on the script itself (the script_and_page test).
void CheckUnchanged(const std::string &after, const std::set<std::string> &before,
                    const std::set<std::string> &installed)
{
    RunLeftRemover();
    std::set<std::string> now = Snapshot();
    for (const std::string &name : now) {
        if (before.count(name))
            continue;
        if (IsWindows9x() && installed.count(name) && name.compare(0, strlen(kGroupIni), kGroupIni) == 0)
            printf("       left by Wine's engine, which never removes setup.ini lines: %s\n", name.c_str());
        else
            Fault(after + ": expected it gone, got " + name);
    }
    for (const std::string &name : before)
        if (!now.count(name))
            Fault(after + ": expected it untouched, got it removed: " + name);
}

std::string Joined(const std::set<std::string> &names)
{
    std::string words;
    for (const std::string &name : names)
        words += name + ";";
    return words;
}

// Puts what a user adds (a file, a folder with a file, a shortcut) into the installed folders; what
// an uninstall must leave: they and the folders that hold them.
std::set<std::string> AddUserItems()
{
    std::string program = KnownFolder(CSIDL_PROGRAM_FILES) + "\\Quibel32\\";
    std::string menu = KnownFolder(CSIDL_COMMON_PROGRAMS) + "\\Quibel32\\";
    const std::pair<std::string, bool> kItems[] = {
        // path                          a folder
        {program + "my tides.txt",       false},
        {program + "saved",              true},
        {program + "saved\\port.txt",    false},
        {menu + "My tides.lnk",          false},
    };
    std::set<std::string> added;
    for (const auto &item : kItems) {
        added.insert(item.first);
        added.insert(FolderOf(item.first));
        if (item.second)
            CreateDirectoryA(item.first.c_str(), NULL);
        else if (FILE *f = fopen(item.first.c_str(), "wb"))
            fputs("the user's own\r\n", f), fclose(f);
    }
    return added;
}

// After an uninstall with the user's additions in its folders: they stay, with their folders and
// nothing else of the install; then they go, and what is left must be as before the install.
void CheckUserItemsKept(const std::string &after, const std::set<std::string> &added,
                        const std::set<std::string> &before, const std::set<std::string> &installed)
{
    RunLeftRemover();
    std::set<std::string> left;
    for (const std::string &name : Snapshot())
        if (!before.count(name))
            left.insert(name);
    if (!added.empty())
        Expect(after + ", left", Joined(added), Joined(left));
    for (auto item = added.rbegin(); item != added.rend(); ++item)  // the longer paths, inside, first
        DeleteFileA(item->c_str()) || RemoveDirectoryA(item->c_str());
    CheckUnchanged(after, before, installed);
}

// ---- A watcher of the display's top-level windows ----

// Each window the watcher saw become visible, "title" (class), with the number of the look that saw it.
static struct {
    CRITICAL_SECTION lock;
    std::vector<std::pair<LONG, std::string>> shown;
    volatile LONG looks;
} g_watch;

static BOOL CALLBACK NoteVisible(HWND hWnd, LPARAM lParam)
{
    if (IsWindowVisible(hWnd))
        ((std::set<HWND> *)lParam)->insert(hWnd);
    return TRUE;
}

static DWORD WINAPI Watch(LPVOID)
{
    for (std::set<HWND> before;; Sleep(20)) {
        std::set<HWND> visible;
        EnumWindows(NoteVisible, (LPARAM)&visible);
        EnterCriticalSection(&g_watch.lock);
        for (HWND hWnd : visible) {
            if (before.count(hWnd))
                continue;
            char title[256] = "";
            GetWindowTextA(hWnd, title, sizeof title);  // the title the system keeps: no message to a hung window
            g_watch.shown.push_back({g_watch.looks, "\"" + std::string(title) + "\" (" + ClassOf(hWnd) + ")"});
        }
        g_watch.looks++;
        LeaveCriticalSection(&g_watch.lock);
        before = visible;
    }
}

// Waits until the watcher has looked at the display wholly after this call; the number of that look.
static LONG LookNow()
{
    LONG from = g_watch.looks;
    while (g_watch.looks < from + 2)
        Sleep(5);
    return from + 1;
}

// The windows shown since the look `since`, in the watcher's words, which it prints.
static std::vector<std::string> WindowsShownSince(LONG since, const std::string &step)
{
    LookNow();
    std::vector<std::string> shown;
    std::string words;
    EnterCriticalSection(&g_watch.lock);
    for (const auto &window : g_watch.shown)
        if (window.first > since)
            shown.push_back(window.second), words += (words.empty() ? "" : ", ") + window.second;
    LeaveCriticalSection(&g_watch.lock);
    printf("       watcher, %s: %s\n", step.c_str(), words.empty() ? "no window" : words.c_str());
    return shown;
}

// ---- The quiet install and uninstall, as a deployment tool runs them ----

// The 9x quiet install's command, as DEPLOY.txt words it: the line after "Install:" in its part.
static std::string DeployCommand9x(const std::string &dir)
{
    std::string text = FileBytes(dir + "\\DEPLOY.txt");
    size_t at = text.find("\r\nWindows 95");
    at = at == std::string::npos ? at : text.find("\r\nInstall:\r\n", at);
    if (at == std::string::npos)
        return "no command for Windows 95 in DEPLOY.txt";
    at += strlen("\r\nInstall:\r\n");
    std::string line = text.substr(at, text.find("\r\n", at) - at);
    return line.substr(line.find_first_not_of(' '));
}

// A program of the system's own bitness (the command prompt, Add/Remove Programs' uninstaller), which
// on 64-bit Windows a 32-bit program reaches through "sysnative".
std::string SystemProgram(const char *name)
{
    return Is64BitWindows() && sizeof(void *) == 4 ? KnownFolder(CSIDL_WINDOWS) + "\\sysnative\\" + name : name;
}

// A command line as typed at a command prompt.
std::string AtPrompt(const std::string &line)
{
    return SystemProgram("cmd.exe") + " /c " + line;
}

// What a deployment tool learns of an install: its exit status, and the detection rule (the entry
// and its DisplayVersion, in the engine's registry view).
std::string Outcome(DWORD status)
{
    return "exit status " + std::to_string(status) +
           (UninstallValue("DisplayVersion") == "REG_SZ 4.3" ? ", detected" : ", not detected");
}

// Runs a command as a deployment tool does, in `dir`, inside a job; it must end within its time
// and show no window. Its exit status, or STILL_ACTIVE when it had to be stopped; what it printed
// goes to `output` when asked for.
DWORD RunQuietly(const std::string &step, const std::string &command, const std::string &dir, DWORD timeoutMs,
                 std::string *output)
{
    printf("       %s: %s\n", step.c_str(), command.c_str());
    LONG since = LookNow();
    HANDLE job = CreateJobObjectA(NULL, NULL), file = NULL;
    char temp[MAX_PATH], name[MAX_PATH];
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
    if (output && GetTempPathA(MAX_PATH, temp) && GetTempFileNameA(temp, "out", 0, name))
        file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           &inherited, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, NULL);
    file = file == INVALID_HANDLE_VALUE ? NULL : file;
    Program run;
    DWORD status = STILL_ACTIVE;
    if (!StartCommand(command, dir, job, &run, file)) {
        Fault(step + ": could not start it: error " + std::to_string(GetLastError()));
    } else if (!WaitForJob(job, timeoutMs)) {
        Fault(step + ": expected it ended within " + std::to_string(Patience(timeoutMs) / 1000) +
              " s, got it still running: it waits for something nobody can see");
        TerminateJobObject(job, 1);
        WaitForJob(job, WINDOW_WAIT_MS);
    } else {
        GetExitCodeProcess(run.hProcess, &status);
    }
    if (file) {
        char buffer[4096];
        DWORD got = 0;
        SetFilePointer(file, 0, NULL, FILE_BEGIN);
        for (output->clear(); ReadFile(file, buffer, sizeof buffer, &got, NULL) && got; )
            output->append(buffer, got);
        CloseHandle(file);
        for (char c : *output)  // in the driver's own lines, whose ends printf writes
            if (c != '\r')
                putchar(c);
    }
    for (const std::string &window : WindowsShownSince(since, step))
        Fault(step + ": expected no window, got " + window);
    return status;
}

// setup.exe walked as a user does, its install checked against every promise, and removed as
// Add/Remove Programs does it; `installed` is what the install made.
static bool RunWalk(const std::string &name, const std::string &ship, const std::set<std::string> &before,
                    std::set<std::string> *installed)
{
    static const Scenario kInstall = {"", "", WITH_SCRIPT, true,
                                      {{AGREEMENT, PRESS_ENTER}, {SUMMARY, PRESS_ENTER}, {COMPLETION, PRESS_ENTER}, {END}}};
    DWORD start = GetTickCount();
    HANDLE job = CreateJobObjectA(NULL, NULL), uninstallJob = CreateJobObjectA(NULL, NULL);
    Program program, uninstaller;
    LONG since = LookNow();
    if (!StartProgram(ship + "\\setup.exe", "", ship, job, &program))
        return Fault("could not start " + ship + "\\setup.exe"), Report(name.c_str(), start);
    // The watcher must see each page: on a busy host it may not look while a page is up otherwise.
    g_beforeAct = [] { LookNow(); };
    Walk(kInstall, program);
    g_beforeAct = NULL;
    g_window = "";
    ExpectNumber("exit status", 0, WaitForExit(program, WINDOW_WAIT_MS));
    if (!WaitForJob(job, ENGINE_WAIT_MS))
        Fault("the setup engine was still at work after its time");
    int pages = 0;
    for (const std::string &window : WindowsShownSince(since, "the walk"))
        pages += window == "\"" + std::string(kTitle) + "\" (#32770)";
    ExpectNumber("pages the watcher saw during the walk", 3, pages);
    *installed = Snapshot();
    CheckInstalled(ship, before, *installed);
    // As Add/Remove Programs would: the platform's uninstaller runs the entry's UninstallString.
    if (!StartProgram(SystemProgram("uninstaller.exe"), "--remove Quibel32", ship, uninstallJob, &uninstaller) ||
        !WaitForJob(uninstallJob, ENGINE_WAIT_MS))
        Fault("the uninstall did not run to its end");
    CheckUnchanged("after the uninstall", before, *installed);
    return Report(name.c_str(), start);
}

// On 98 the engine's own quiet install, as DEPLOY.txt words it, and the entry's quiet uninstall.
static bool RunQuiet9x(const std::string &name, const std::string &ship, const std::set<std::string> &before)
{
    DWORD start = GetTickCount();
    printf("       on 98, as far as Wine goes: its cmd runs the 9x command (98's is command.com) and rundll32's "
           "exit status is Wine's own\n");
    std::string step = "the quiet install";
    Expect(step, "exit status 0, detected", Outcome(RunQuietly(step, AtPrompt(DeployCommand9x(ship)), ship, ENGINE_WAIT_MS)));
    std::set<std::string> installed = Snapshot();
    CheckInstalled(ship, before, installed);
    std::string quiet = UninstallValue("QuietUninstallString");
    RunQuietly("the quiet uninstall", quiet.substr(quiet.find(' ') + 1), KnownFolder(CSIDL_WINDOWS), ENGINE_WAIT_MS);
    CheckUnchanged("after the quiet uninstall", before, installed);
    return Report(name.c_str(), start);
}

bool RunInstall(const std::string &ship, const std::string &seen)
{
    CoInitialize(NULL);
    InitializeCriticalSection(&g_watch.lock);
    CreateThread(NULL, 0, Watch, NULL, 0, NULL);
    Expect("Windows", seen, WindowsSeen());
    // The walk's four windows, its exit and a refusal; the engine, the uninstall, the incomplete
    // folder, and deploy.cmd's runs here, with the other engine's install and uninstall (the 9x quiet
    // install and uninstall fewer).
    int runs = 3 + DeployRuns();
    DeclareBudget(6 * WINDOW_WAIT_MS + runs * ENGINE_WAIT_MS);
    // Each case starts with nothing installed and leaves nothing, so that each can run alone.
    std::set<std::string> before = Snapshot(), installed;
    std::string walked = IsWindows9x() ? "the bare 9x section installs and writes the group lines, the entry's "
                                         "uninstall removes the files, folders and entry, on " + seen
                                       : "install and uninstall for real, on " + seen;
    std::string quiet = (IsWindows9x() ? "quietly, as DEPLOY.txt gives it, on " : "deploy.cmd through the machine's states, on ") + seen;
    std::string incomplete = "deploy.cmd from a folder without stations.dat, on " + seen;
    int ran = 0, failed = 0;
    if (Selected(walked))
        ran++, failed += !RunWalk(walked, ship, before, &installed);
    // The same again as a deployment tool does it: deploy.cmd as DEPLOY.txt gives it, where there is one.
    if (Selected(quiet) && IsWindows9x())
        ran++, failed += !RunQuiet9x(quiet, ship, before);
    if (Selected(quiet) && !IsWindows9x()) {
        DWORD start = GetTickCount();
        RunDeployTable(ship, before, installed);
        ran++, failed += !Report(quiet.c_str(), start);
    }
    if (Selected(incomplete) && !IsWindows9x()) {
        DWORD start = GetTickCount();
        RunIncomplete(ship, before);
        ran++, failed += !Report(incomplete.c_str(), start);
    }
    return CasesRan(ran) && !failed;
}
