// End to end: starts the real setup.exe under Wine and walks it as a user would, checking every
// window it shows against the layouts and texts, what it launches, and its exit status.
// usage: e2e pages SETUP_EXE SCRIPT PROBE_DLL WORK_DIR   the pages, with the install verb recorded
//        e2e install SHIP_DIR PROBE_DLL                  the real install and uninstall
//        e2e --record SCRIPT                             the recorder, as the install verb runs it
#include <windows.h>
#include <shlobj.h>

#include <stdio.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "page_driver.h"

#define WM_PROBE (WM_USER + 77)
#define IDC_PAGE_TEXT 1003

static const char kTitle[] = "Install Quibel32 version 4.3";
static const char kAgreement[] =
    "Quibel32 - Copyright (c) 1996-2004 Quibel Tide Software\r\n"
    "Email: support@quibel.example.org   Web site: www.quibel.example.org\r\n\r\n"
    "Quibel32 predicts tides and currents for 9,500 stations world-wide from 1970 to 2038.\r\n"
    "It runs under Win9x/NT4/2k/XP and requires about 4 MB disk space and 5 MB RAM.\r\n"
    "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n";
static const char kSummary[] =
    "When you press \"Install\", setup will:\r\n"
    "  1) Copy 10 files (4,051,770 bytes) to \"\\Program Files\\Quibel32\"\r\n"
    "  2) Make a Quibel32 shortcut folder in the Start Programs menu.\r\n"
    "  3) Make an uninstall entry in Control Panel Add/Remove Programs.\r\n\r\n"
    "Or, to manually install the program to the folder of your choice:\r\n"
    "  1) Create an empty folder for the program (e.g. \"c:\\Program Files\\Quibel32\").\r\n"
    "  2) Extract all files to the new folder (setup.exe and quibel43.inf are not needed).\r\n"
    "  3) Right click drag quibel32.exe from the new folder to the desktop to make a\r\n"
    "      shortcut to the program.";
static const char kCompletion[] =
    "When activity stops (in about 3-10 seconds)\r\nthe installation will be complete.\r\n\r\n"
    "I hope you enjoy using Quibel32.";
static const char kFailure[] =
    "Installation failed - could not run the install script file quibel43.inf\r\n"
    "Please follow the manual install directions on the next page.";

struct Control {
    int id;
    const char *cls;
    DWORD style;
    int x, y, cx, cy;
    const char *text;  // NULL where the page sets it
};

struct Layout {
    int x, y, cx, cy;
    int count;
    Control controls[3];
};

#define BUTTON WS_CHILD | WS_VISIBLE | WS_TABSTOP
#define TEXT_BOX WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_MULTILINE | ES_READONLY

static const Layout kLicense = {160, 130, 262, 130, 3, {
    // id           class     style                        x    y    cx   cy   text
    {IDOK,          "Button", BUTTON | BS_DEFPUSHBUTTON,   60,  114, 40,  14,  NULL},
    {IDCANCEL,      "Button", BUTTON | BS_PUSHBUTTON,      170, 114, 40,  14,  "Cancel"},
    {IDC_PAGE_TEXT, "Edit",   TEXT_BOX,                    4,   4,   254, 110, NULL},
}};
static const Layout kDone = {222, 167, 150, 56, 2, {
    {IDOK,          "Button", BUTTON | BS_DEFPUSHBUTTON,   56,  40,  40,  14,  NULL},
    {IDC_PAGE_TEXT, "Edit",   TEXT_BOX | ES_CENTER,        0,   0,   150, 36,  NULL},
}};
static const DWORD kPageStyle = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;

struct Page {
    const Layout *layout;
    const char *body;
    const char *caption;
};

enum { AGREEMENT, SUMMARY, COMPLETION, MANUAL, MESSAGE_BOX, END };
static const Page kPages[] = {
    /* AGREEMENT  */ {&kLicense, kAgreement, "I Agree"},
    /* SUMMARY    */ {&kLicense, kSummary, "Install"},
    /* COMPLETION */ {&kDone, kCompletion, "Finish"},
    /* MANUAL     */ {&kLicense, kSummary, "Finish"},
};

enum Contents { WITH_SCRIPT, NO_SCRIPT, NO_LICENSE_LAYOUT };

struct Step {
    int window;  // a page, the message box, or END: the program must end here
    Action action;
};

struct Scenario {
    const char *name;
    const char *args;
    Contents folder;
    bool launches;
    Step steps[5];
};

static const Scenario kScenarios[] = {
    // name                         args                    folder             launches steps
    {"install with Enter",          "",                     WITH_SCRIPT,       true,  {{AGREEMENT, PRESS_ENTER}, {SUMMARY, PRESS_ENTER}, {COMPLETION, PRESS_ENTER}, {END}}},
    {"install with clicks, args",   "/S /D=C:\\x --help",   WITH_SCRIPT,       true,  {{AGREEMENT, CLICK_MAIN}, {SUMMARY, CLICK_MAIN}, {COMPLETION, CLICK_MAIN}, {END}}},
    {"Enter in the text boxes",     "",                     WITH_SCRIPT,       true,  {{AGREEMENT, PRESS_ENTER_IN_TEXT}, {SUMMARY, PRESS_ENTER_IN_TEXT}, {COMPLETION, PRESS_ENTER_IN_TEXT}, {END}}},
    {"completion Escape",           "",                     WITH_SCRIPT,       true,  {{AGREEMENT, PRESS_ENTER}, {SUMMARY, PRESS_ENTER}, {COMPLETION, PRESS_ESCAPE}, {END}}},
    {"completion close box",        "",                     WITH_SCRIPT,       true,  {{AGREEMENT, PRESS_ENTER}, {SUMMARY, PRESS_ENTER}, {COMPLETION, CLOSE_BOX}, {END}}},
    {"agreement Escape",            "",                     WITH_SCRIPT,       false, {{AGREEMENT, PRESS_ESCAPE}, {END}}},
    {"agreement close box",         "",                     WITH_SCRIPT,       false, {{AGREEMENT, CLOSE_BOX}, {END}}},
    {"agreement Cancel",            "",                     WITH_SCRIPT,       false, {{AGREEMENT, CLICK_CANCEL}, {END}}},
    {"summary Escape",              "",                     WITH_SCRIPT,       false, {{AGREEMENT, PRESS_ENTER}, {SUMMARY, PRESS_ESCAPE}, {END}}},
    {"summary close box",           "",                     WITH_SCRIPT,       false, {{AGREEMENT, PRESS_ENTER}, {SUMMARY, CLOSE_BOX}, {END}}},
    {"summary Cancel",              "",                     WITH_SCRIPT,       false, {{AGREEMENT, PRESS_ENTER}, {SUMMARY, CLICK_CANCEL}, {END}}},
    {"script missing, Finish",      "",                     NO_SCRIPT,         false, {{AGREEMENT, PRESS_ENTER}, {SUMMARY, PRESS_ENTER}, {MESSAGE_BOX, PRESS_ENTER}, {MANUAL, PRESS_ENTER}, {END}}},
    {"script missing, Cancel",      "x y",                  NO_SCRIPT,         false, {{AGREEMENT, PRESS_ENTER}, {SUMMARY, PRESS_ENTER}, {MESSAGE_BOX, CLOSE_BOX}, {MANUAL, CLICK_CANCEL}, {END}}},
    {"no agreement layout",         "",                     NO_LICENSE_LAYOUT, false, {{END}}},
};

static std::string g_probeDll;
static std::vector<std::string> g_faults;
static std::string g_window;  // names the window a fault was found in

static void Fault(const std::string &text)
{
    g_faults.push_back(g_window + text);
}

static std::string Escaped(const std::string &text)
{
    std::string out;
    for (char c : text)
        out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
    return out;
}

static void Expect(const std::string &what, const std::string &expected, const std::string &got)
{
    if (expected == got)
        return;
    size_t at = 0;
    while (at < expected.size() && at < got.size() && expected[at] == got[at])
        at++;
    size_t from = at > 20 ? at - 20 : 0;
    char where[48];
    snprintf(where, sizeof where, " (differs at byte %u)", (unsigned)at);
    Fault(what + ": expected \"" + Escaped(expected.substr(from, 60)) + "\", got \"" + Escaped(got.substr(from, 60)) +
          "\"" + (expected.size() > 40 ? where : ""));
}

static void ExpectNumber(const std::string &what, long expected, long got, const char *format = "%ld")
{
    char e[16], g[16];
    snprintf(e, sizeof e, format, expected);
    snprintf(g, sizeof g, format, got);
    Expect(what, e, g);
}

static INT_PTR ProbeAnswer(HWND hWnd, const char *name)
{
    return (INT_PTR)GetPropA(hWnd, name);
}

// Style bits as the template gave them: the dialog manager adds WS_CLIPSIBLINGS and DS_3DLOOK to
// the dialog of a 4.0 program, and draws a control's WS_BORDER as a sunken client edge.
static DWORD TemplateStyle(HWND hWnd, DWORD added)
{
    DWORD style = GetWindowLongA(hWnd, GWL_STYLE) & ~added;
    return GetWindowLongA(hWnd, GWL_EXSTYLE) & WS_EX_CLIENTEDGE ? style | WS_BORDER : style;
}

static std::string Place(long x, long y, long cx, long cy)
{
    char text[48];
    snprintf(text, sizeof text, "%ld,%ld %ldx%ld", x, y, cx, cy);
    return text;
}

static void CheckLayout(HWND hDlg, const Layout &layout)
{
    // Dialog units to pixels, as the dialog manager maps them with the layout's font.
    LONG units = (LONG)ProbeAnswer(hDlg, "probe.units");
    auto pixels = [units](int x, int y, int cx, int cy) {
        int bx = LOWORD(units), by = HIWORD(units);
        return Place(MulDiv(x, bx, 4), MulDiv(y, by, 8), MulDiv(cx, bx, 4), MulDiv(cy, by, 8));
    };
    POINT origin = {0, 0};
    RECT client;
    ClientToScreen(hDlg, &origin);
    GetClientRect(hDlg, &client);
    Expect("page client area", pixels(layout.x, layout.y, layout.cx, layout.cy),
           Place(origin.x, origin.y, client.right, client.bottom));
    ExpectNumber("page style", kPageStyle, TemplateStyle(hDlg, WS_CLIPSIBLINGS | DS_3DLOOK), "%08lx");

    HWND hChild = GetWindow(hDlg, GW_CHILD);
    for (int i = 0; i < layout.count; i++, hChild = GetWindow(hChild, GW_HWNDNEXT)) {
        const Control &c = layout.controls[i];
        std::string name = "control " + std::to_string(i + 1);
        if (!hChild) {
            Fault(name + ": expected id " + std::to_string(c.id) + ", got no control");
            return;
        }
        RECT r;
        GetWindowRect(hChild, &r);
        MapWindowPoints(NULL, hDlg, (POINT *)&r, 2);
        ExpectNumber(name + " id", c.id, GetDlgCtrlID(hChild));
        Expect(name + " class", c.cls, ClassOf(hChild));
        ExpectNumber(name + " style", c.style, TemplateStyle(hChild, 0), "%08lx");
        Expect(name + " place", pixels(c.x, c.y, c.cx, c.cy), Place(r.left, r.top, r.right - r.left, r.bottom - r.top));
        if (c.text)
            Expect(name + " text", c.text, WindowTextOf(hChild));
    }
    if (hChild)
        Fault("expected " + std::to_string(layout.count) + " controls, got more");
}

static void CheckPage(HWND hDlg, const Program &program, int page)
{
    Expect("title", kTitle, WindowTextOf(hDlg));
    Expect("body", kPages[page].body, WindowTextOf(GetDlgItem(hDlg, IDC_PAGE_TEXT)));
    Expect("caption", kPages[page].caption, WindowTextOf(GetDlgItem(hDlg, IDOK)));
    if (FocusOf(program) != GetDlgItem(hDlg, IDOK))
        Expect("focus", "main button", WindowTextOf(FocusOf(program)));
    ExpectNumber("small icon is SETUP (1 yes, 2 no, 0 unknown)", 1, ProbeAnswer(hDlg, "probe.small"));
    ExpectNumber("big icon left unset (1 yes, 2 no, 0 unknown)", 1, ProbeAnswer(hDlg, "probe.big"));
    CheckLayout(hDlg, *kPages[page].layout);
}

static void CheckMessageBox(HWND hBox)
{
    Expect("message box caption", kTitle, WindowTextOf(hBox));
    std::string text, buttons;
    for (HWND h = GetWindow(hBox, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT)) {
        if (ClassOf(h) == "Button")
            buttons += "[" + WindowTextOf(h) + "]";
        else if (ClassOf(h) == "Static")
            text += WindowTextOf(h);
    }
    Expect("message box text", kFailure, text);
    Expect("message box buttons", "[OK]", buttons);
    ExpectNumber("error icon (1 yes, 2 no, 0 unknown)", 1, ProbeAnswer(hBox, "probe.erroricon"));
}

static const char *WindowName(int window)
{
    static const char *const names[] = {"agreement page", "summary page", "completion page",
                                        "manual page", "message box", "the end"};
    return names[window];
}

static std::string FileBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "nothing";
}

// A copy of setup.exe whose "LICENSE" layout has another name, so no page window can be made.
static bool CopyWithoutLicenseLayout(const std::string &from, const std::string &to)
{
    std::string bytes = FileBytes(from);
    size_t at = bytes.find(std::string("L\0I\0C\0E\0N\0S\0E\0", 14));
    if (at == std::string::npos)
        return false;
    bytes[at + 12] = 'X';
    return (bool)(std::ofstream(to, std::ios::binary) << bytes);
}

static bool PrepareFolder(const Scenario &s, const std::string &dir, const std::string &setup,
                          const std::string &script)
{
    CreateDirectoryA(dir.c_str(), NULL);
    if (s.folder != NO_SCRIPT && !CopyFileA(script.c_str(), (dir + "\\quibel43.inf").c_str(), FALSE))
        return false;
    if (s.folder == NO_LICENSE_LAYOUT)
        return CopyWithoutLicenseLayout(setup, dir + "\\setup.exe");
    return CopyFileA(setup.c_str(), (dir + "\\setup.exe").c_str(), FALSE);
}

static void CheckLaunch(const Scenario &s, const std::string &dir, HANDLE job)
{
    // Everything setup started ends before the next case (so that nothing takes its focus), and
    // the verb's handler has written its record.
    WaitForJob(job, 10000);
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
    QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, NULL);
    if (!s.launches)
        ExpectNumber("processes started (setup itself only)", 1, info.TotalProcesses);
    else
        Expect("launch", "show 1, " + dir + "\\quibel43.inf", FileBytes(dir + "\\launched.txt"));
}

static void Walk(const Scenario &s, const Program &program)
{
    HMODULE hProbe = LoadLibraryA(g_probeDll.c_str());
    HOOKPROC probe = (HOOKPROC)GetProcAddress(hProbe, "Probe");
    HHOOK hHook = NULL;
    HWND hPrevious = NULL;
    for (const Step *step = s.steps;; step++) {
        HWND hWnd = WaitForDialog(program, hPrevious, 10000);
        g_window = std::string(WindowName(step->window)) + ": ";
        if (step->window == END) {
            if (hWnd)
                Fault("expected no more windows, got \"" + WindowTextOf(hWnd) + "\"");
            return;
        }
        if (!hWnd)
            return Fault("expected this window, got none");
        if (!hHook)
            hHook = SetWindowsHookExA(WH_CALLWNDPROC, probe, hProbe, program.tid);
        SendMessageA(hWnd, WM_PROBE, 0, 0);
        bool isPage = GetDlgItem(hWnd, IDC_PAGE_TEXT) != NULL;
        if (isPage != (step->window != MESSAGE_BOX))
            Fault(std::string("expected this window, got ") + (isPage ? "a page" : "one without a text box"));
        else if (isPage)
            CheckPage(hWnd, program, step->window);
        else
            CheckMessageBox(hWnd);
        if (!Act(hWnd, program, step->action))
            Fault("could not put the focus in the text box");
        hPrevious = hWnd;
    }
}

static bool Report(const char *name, DWORD start)
{
    printf("%s %s (%.1f s)\n", g_faults.empty() ? "ok  " : "FAIL", name, (GetTickCount() - start) / 1000.0);
    for (const std::string &fault : g_faults)
        printf("       %s\n", fault.c_str());
    bool passed = g_faults.empty();
    g_faults.clear();
    g_window = "";
    return passed;
}

static bool RunScenario(int n, const std::string &setup, const std::string &script, const std::string &work)
{
    const Scenario &s = kScenarios[n];
    DWORD start = GetTickCount();
    std::string dir = work + "\\case" + std::to_string(n);
    HANDLE job = CreateJobObjectA(NULL, NULL);
    Program program;
    if (!PrepareFolder(s, dir, setup, script) || !StartProgram(dir + "\\setup.exe", s.args, dir, job, &program)) {
        Fault("could not set up " + dir);
    } else {
        Walk(s, program);
        DWORD code = WaitForExit(program, 10000);
        if (code == STILL_ACTIVE)
            TerminateProcess(program.hProcess, 1);
        ExpectNumber("exit status", 0, code);
        CheckLaunch(s, dir, job);
    }
    return Report(s.name, start);
}

// ---- The real install by the platform's setup engine, and the uninstall ----

static const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

static std::string KnownFolder(int csidl)
{
    char path[MAX_PATH] = "";
    SHGetFolderPathA(NULL, csidl, NULL, 0, path);
    return path;
}

// Adds the path of everything under `dir` to `names`.
static void ListTree(const std::string &dir, std::set<std::string> *names)
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

// Everything the install may add to, and the uninstall must leave as it was.
static std::set<std::string> Snapshot()
{
    std::set<std::string> names;
    for (int csidl : {CSIDL_PROGRAM_FILES, CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS})
        ListTree(KnownFolder(csidl), &names);
    ListTree(KnownFolder(CSIDL_WINDOWS) + "\\inf", &names);
    HKEY hKey;
    char name[256];
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
        for (DWORD i = 0; RegEnumKeyA(hKey, i, name, sizeof name) == ERROR_SUCCESS; i++)
            names.insert(std::string("HKLM\\") + kUninstallKey + "\\" + name);
        RegCloseKey(hKey);
    }
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

static std::string UninstallValue(const char *name)
{
    char value[1024] = "none";
    DWORD size = sizeof value;
    RegGetValueA(HKEY_LOCAL_MACHINE, (std::string(kUninstallKey) + "\\Quibel32").c_str(), name, RRF_RT_REG_SZ,
                 NULL, value, &size);
    return value;
}

// What the summary page promises: the ten files in Program Files\Quibel32, a Start menu folder
// with a shortcut to the program, and an uninstall entry, for which the script keeps a copy of itself.
static void CheckInstalled(const std::string &ship)
{
    std::string folder = KnownFolder(CSIDL_PROGRAM_FILES) + "\\Quibel32";
    std::set<std::string> shipped, installed;
    ListTree(ship, &shipped);
    ListTree(folder, &installed);
    int products = 0;
    for (const std::string &path : shipped) {
        std::string name = path.substr(ship.size() + 1);
        if (name == "setup.exe" || name == "quibel43.inf")
            continue;
        products++;
        Expect(name + " installed", FileBytes(path), FileBytes(folder + "\\" + name));
    }
    ExpectNumber("product files shipped", 10, products);
    ExpectNumber("entries in the program folder", 10, installed.size());
    Expect("shortcut target", folder + "\\quibel32.exe",
           ShortcutTarget(KnownFolder(CSIDL_COMMON_PROGRAMS) + "\\Quibel32\\Quibel32.lnk"));
    Expect("uninstall entry's DisplayName", "Quibel32 version 4.3", UninstallValue("DisplayName"));
    Expect("script kept for the uninstall", FileBytes(ship + "\\quibel43.inf"),
           FileBytes(KnownFolder(CSIDL_WINDOWS) + "\\inf\\quibel43.inf"));
}

static void CheckUnchanged(const std::set<std::string> &before, const std::set<std::string> &after)
{
    for (const std::string &name : after)
        if (!before.count(name))
            Fault("after the uninstall: expected it gone, got " + name);
    for (const std::string &name : before)
        if (!after.count(name))
            Fault("after the uninstall: expected it untouched, got it removed: " + name);
}

static bool RunInstall(const std::string &ship)
{
    static const Scenario kInstall = {"install and uninstall for real", "", WITH_SCRIPT, true,
                                      {{AGREEMENT, PRESS_ENTER}, {SUMMARY, PRESS_ENTER}, {COMPLETION, PRESS_ENTER}, {END}}};
    DWORD start = GetTickCount();
    std::set<std::string> before = Snapshot();
    HANDLE job = CreateJobObjectA(NULL, NULL), uninstallJob = CreateJobObjectA(NULL, NULL);
    Program program, uninstaller;
    if (!StartProgram(ship + "\\setup.exe", "", ship, job, &program))
        return Fault("could not start " + ship + "\\setup.exe"), Report(kInstall.name, start);
    Walk(kInstall, program);
    g_window = "";
    ExpectNumber("exit status", 0, WaitForExit(program, 10000));
    if (!WaitForJob(job, 120000))
        Fault("the setup engine was still at work after 2 minutes");
    CheckInstalled(ship);
    // As Add/Remove Programs would: the platform's uninstaller runs the entry's UninstallString.
    if (!StartProgram("uninstaller.exe", "--remove Quibel32", ship, uninstallJob, &uninstaller) ||
        !WaitForJob(uninstallJob, 120000))
        Fault("the uninstall did not run to its end");
    CheckUnchanged(before, Snapshot());
    return Report(kInstall.name, start);
}

// Stands in for the install verb's handler: notes how and what the shell asked it to run.
static int Record(const char *script)
{
    STARTUPINFOA si;
    GetStartupInfoA(&si);
    FILE *f = fopen("launched.txt", "wb");
    fprintf(f, "show %d, %s", si.dwFlags & STARTF_USESHOWWINDOW ? si.wShowWindow : -1, script);
    fclose(f);
    return 0;
}

int main(int argc, char **argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--record" && argc == 3)
        return Record(argv[2]);
    if (mode == "install" && argc == 4) {
        g_probeDll = WindowsPath(argv[3]);
        CoInitialize(NULL);
        return RunInstall(WindowsPath(argv[2])) ? 0 : 1;
    }
    if (mode != "pages" || argc != 6) {
        fprintf(stderr, "usage: e2e pages SETUP_EXE SCRIPT PROBE_DLL WORK_DIR\n"
                        "       e2e install SHIP_DIR PROBE_DLL\n");
        return 2;
    }
    std::string setup = WindowsPath(argv[2]), script = WindowsPath(argv[3]), work = WindowsPath(argv[5]);
    g_probeDll = WindowsPath(argv[4]);
    // The install verb goes to a recorder for these cases, and back afterwards.
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, sizeof self);
    std::string verb = std::string("\"") + self + "\" --record \"%1\"";
    const char *key = "inffile\\shell\\install\\command";
    char saved[1024] = "";
    LONG savedSize = sizeof saved;
    RegQueryValueA(HKEY_CLASSES_ROOT, key, saved, &savedSize);
    RegSetValueA(HKEY_CLASSES_ROOT, key, REG_SZ, verb.c_str(), verb.size());

    int failed = 0, count = sizeof kScenarios / sizeof kScenarios[0];
    for (int n = 0; n < count; n++)
        failed += !RunScenario(n, setup, script, work);
    RegSetValueA(HKEY_CLASSES_ROOT, key, REG_SZ, saved, strlen(saved));
    printf("%d of %d cases failed\n", failed, count);
    return failed ? 1 : 0;
}
