// End to end: starts the real setup.exe under Wine and walks it as a user would, checking every
// window it shows against the layouts and texts, what it launches, and its exit status.
// usage: e2e pages SETUP_EXE SCRIPT PROBE_DLL          the pages, with the install verb recorded
//        e2e install SHIP_DIR PROBE_DLL SEEN            the real and the quiet install and uninstalls, on
//                                                       the Windows that tells a program SEEN
//                                                       (tools/machine/windows.list; e2e_install.cpp)
//        e2e --record SCRIPT                             the recorder, as the install verb runs it (a windowed copy)
//        e2e stay                                        the installed program, running until stopped
//        fc /b FILE FILE                                 a copy named fc.exe: fc as Windows' answers
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "e2e.h"
#include "page_ids.h"
#include "probe.h"

const char kTitle[] = "Install Quibel32 version 4.3";
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

static const Page kPages[] = {
    /* AGREEMENT  */ {&kLicense, kAgreement, "I Agree"},
    /* SUMMARY    */ {&kLicense, kSummary, "Install"},
    /* COMPLETION */ {&kDone, kCompletion, "Finish"},
    /* MANUAL     */ {&kLicense, kSummary, "Finish"},
};

static const Scenario kScenarios[] = {
    // name                             args                    folder               launches steps
    {"install with Enter",              "",                     WITH_SCRIPT,         true,    {{AGREEMENT, PRESS_ENTER}, {SUMMARY, PRESS_ENTER}, {COMPLETION, PRESS_ENTER}, {END}}},
    {"install with clicks, args",       "/S /D=C:\\x --help",   WITH_SCRIPT,         true,    {{AGREEMENT, CLICK_MAIN}, {SUMMARY, CLICK_MAIN}, {COMPLETION, CLICK_MAIN}, {END}}},
    {"Enter in the text boxes",         "",                     WITH_SCRIPT,         true,    {{AGREEMENT, PRESS_ENTER_IN_TEXT}, {SUMMARY, PRESS_ENTER_IN_TEXT}, {COMPLETION, PRESS_ENTER_IN_TEXT}, {END}}},
    {"completion Escape",               "",                     WITH_SCRIPT,         true,    {{AGREEMENT, PRESS_ENTER}, {SUMMARY, PRESS_ENTER}, {COMPLETION, PRESS_ESCAPE}, {END}}},
    {"completion close box, old search","",                     NO_SEARCH_NARROWING, true,    {{AGREEMENT, PRESS_ENTER}, {SUMMARY, PRESS_ENTER}, {COMPLETION, CLOSE_BOX}, {END}}},
    {"agreement Escape",                "",                     WITH_SCRIPT,         false,   {{AGREEMENT, PRESS_ESCAPE}, {END}}},
    {"agreement close box, as Vista",   "",                     TOLD_VISTA,          false,   {{AGREEMENT, CLOSE_BOX}, {END}}},
    {"agreement Cancel",                "",                     WITH_SCRIPT,         false,   {{AGREEMENT, CLICK_CANCEL}, {END}}},
    {"summary Escape",                  "",                     WITH_SCRIPT,         false,   {{AGREEMENT, PRESS_ENTER}, {SUMMARY, PRESS_ESCAPE}, {END}}},
    {"summary close box",               "",                     WITH_SCRIPT,         false,   {{AGREEMENT, PRESS_ENTER}, {SUMMARY, CLOSE_BOX}, {END}}},
    {"summary Cancel",                  "",                     WITH_SCRIPT,         false,   {{AGREEMENT, PRESS_ENTER}, {SUMMARY, CLICK_CANCEL}, {END}}},
    {"script missing, Finish",          "",                     NO_SCRIPT,           false,   {{AGREEMENT, PRESS_ENTER}, {SUMMARY, PRESS_ENTER}, {MESSAGE_BOX, PRESS_ENTER}, {MANUAL, PRESS_ENTER}, {END}}},
    {"script missing, Cancel",          "x y",                  NO_SCRIPT,           false,   {{AGREEMENT, PRESS_ENTER}, {SUMMARY, PRESS_ENTER}, {MESSAGE_BOX, CLOSE_BOX}, {MANUAL, CLICK_CANCEL}, {END}}},
    {"no agreement layout",             "",                     NO_LICENSE_LAYOUT,   false,   {{END}}},
};

std::string g_probeDll;
std::string g_window;
void (*g_beforeAct)();
static std::vector<std::string> g_faults;

// The case's first fault also takes a picture of the screen, as it is then, into the folder the
// session keeps a failure's evidence in (QUIBEL_EVIDENCE), named after the case that failed.
static std::string g_picture;

void Fault(const std::string &text)
{
    char evidence[MAX_PATH] = "";
    if (g_faults.empty() && GetEnvironmentVariableA("QUIBEL_EVIDENCE", evidence, sizeof evidence)) {
        static int failures;
        g_picture = WindowsPath(evidence) + "\\screen-" + std::to_string(++failures) + ".bmp";
        // Every window drawn first: a page just shown may not have drawn its text yet.
        RedrawWindow(NULL, NULL, NULL, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        if (!SavePicture(GetDesktopWindow(), g_picture))
            g_picture = "none could be taken";
    }
    g_faults.push_back(g_window + text);
}

static std::string Escaped(const std::string &text)
{
    std::string out;
    for (char c : text)
        out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
    return out;
}

void Expect(const std::string &what, const std::string &expected, const std::string &got)
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

void ExpectNumber(const std::string &what, long expected, long got, const char *format)
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

// Where setup's process takes the libraries a stranger left beside it. Windows without the call that
// narrows the search, and Vista, take the older way, which keeps system names out of setup's folder
// but cannot keep out a name it does not know.
static void CheckLibraries(HWND hDlg, Contents folder)
{
    static const char *const kSources[] = {"unknown", "not loaded", "from setup's folder", "from the system folder",
                                           "from elsewhere"};
    auto source = [hDlg](const char *name) { return kSources[ProbeAnswer(hDlg, name) % 5]; };
    bool olderWay = folder == NO_SEARCH_NARROWING || folder == TOLD_VISTA;
    printf("       asked by name in setup's process: " STRANGER_LIBRARY " %s, " SYSTEM_NAMED_LIBRARY " %s\n",
           source("probe.stranger"), source("probe.system"));
    Expect(STRANGER_LIBRARY " asked for by name", kSources[olderWay ? FROM_SETUP_FOLDER : NOT_LOADED], source("probe.stranger"));
    Expect(SYSTEM_NAMED_LIBRARY " asked for by name", kSources[FROM_SYSTEM_FOLDER], source("probe.system"));
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

// Plain stdio: the static 32-bit C++ runtime's file streams crash at start-up under 32-bit Wine.
std::string FileBytes(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return "nothing";
    std::string bytes;
    char chunk[65536];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;)
        bytes.append(chunk, n);
    fclose(f);
    return bytes;
}

bool WriteBytes(const std::string &path, const std::string &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    bool written = f && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return f && !fclose(f) && written;
}

// A copy of a program that Windows starts without a console: its PE header's subsystem made the GUI's.
static bool CopyAsWindowed(const std::string &from, const std::string &to)
{
    std::string bytes = FileBytes(from);
    size_t pe = bytes.size() > 0x40 ? *(const DWORD *)&bytes[0x3c] : 0;
    size_t subsystem = pe + 4 + sizeof(IMAGE_FILE_HEADER) + offsetof(IMAGE_OPTIONAL_HEADER, Subsystem);
    if (!pe || subsystem + 2 > bytes.size() || bytes.compare(pe, 4, "PE\0\0", 4))
        return false;
    bytes[subsystem] = IMAGE_SUBSYSTEM_WINDOWS_GUI;
    return WriteBytes(to, bytes);
}

// A copy of setup.exe in which the first occurrence of `name` is altered, so that what it names
// cannot be found.
static bool CopyWithNameAltered(const std::string &from, const std::string &to, const std::string &name)
{
    std::string bytes = FileBytes(from);
    size_t at = bytes.find(name);
    if (at == std::string::npos)
        return false;
    bytes[at] = 'X';
    return WriteBytes(to, bytes);
}

static bool PrepareFolder(const Scenario &s, const std::string &dir, const std::string &setup,
                          const std::string &script)
{
    CreateDirectoryA(dir.c_str(), NULL);
    if (s.folder != NO_SCRIPT && !CopyFileA(script.c_str(), (dir + "\\quibel43.inf").c_str(), FALSE))
        return false;
    for (const char *library : {STRANGER_LIBRARY, SYSTEM_NAMED_LIBRARY})
        if (!CopyFileA(g_probeDll.c_str(), (dir + "\\" + library).c_str(), FALSE))
            return false;
    // Wine's version for one program by name: Vista for setup.exe in that case, the prefix's own otherwise.
    const char *wineDefaults = "Software\\Wine\\AppDefaults\\setup.exe";
    HKEY hKey;
    RegDeleteKeyA(HKEY_CURRENT_USER, wineDefaults);
    if (s.folder == TOLD_VISTA && (RegCreateKeyA(HKEY_CURRENT_USER, wineDefaults, &hKey) ||
                                   RegSetValueExA(hKey, "Version", 0, REG_SZ, (const BYTE *)"vista", 6) ||
                                   RegCloseKey(hKey)))
        return false;
    if (s.folder == NO_LICENSE_LAYOUT)
        return CopyWithNameAltered(setup, dir + "\\setup.exe", std::string("L\0I\0C\0E\0N\0S\0E\0", 14));
    if (s.folder == NO_SEARCH_NARROWING)
        return CopyWithNameAltered(setup, dir + "\\setup.exe", "SetDefaultDllDirectories");
    return CopyFileA(setup.c_str(), (dir + "\\setup.exe").c_str(), FALSE);
}

static void CheckLaunch(const Scenario &s, const std::string &dir, HANDLE job)
{
    // Everything setup started ends before the next case (so that nothing takes its focus), and
    // the verb's handler has written its record.
    WaitForJob(job, WINDOW_WAIT_MS);
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
    QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, NULL);
    if (!s.launches)
        ExpectNumber("processes started (setup itself only)", 1, info.TotalProcesses);
    else
        Expect("launch", "show 1, " + dir + "\\quibel43.inf", FileBytes(dir + "\\launched.txt"));
}

void Walk(const Scenario &s, const Program &program)
{
    HMODULE hProbe = LoadLibraryA(g_probeDll.c_str());
    HOOKPROC probe = (HOOKPROC)GetProcAddress(hProbe, "Probe");
    HHOOK hHook = NULL;
    HWND hPrevious = NULL;
    for (const Step *step = s.steps;; step++) {
        HWND hWnd = WaitForDialog(program, hPrevious, WINDOW_WAIT_MS);
        g_window = std::string(WindowName(step->window)) + ": ";
        if (step->window == END) {
            if (hWnd)
                Fault("expected no more windows, got \"" + WindowTextOf(hWnd) + "\"");
            return;
        }
        if (!hWnd) {  // say whether it ended (a crash names itself by its status) or waits unseen
            DWORD status = STILL_ACTIVE;
            char words[64] = "the program still runs";
            if (GetExitCodeProcess(program.hProcess, &status) && status != STILL_ACTIVE)
                snprintf(words, sizeof words, "the program ended with status 0x%lx", (unsigned long)status);
            return Fault(std::string("expected this window, got none: ") + words);
        }
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
        if (isPage && step == s.steps)
            CheckLibraries(hWnd, s.folder);
        if (g_beforeAct)
            g_beforeAct();
        if (!Act(hWnd, program, step->action))
            Fault("could not put the focus in the text box");
        hPrevious = hWnd;
    }
}

bool Report(const char *name, DWORD start)
{
    printf("%s %s (%.1f s)\n", g_faults.empty() ? "ok  " : "FAIL", name, (GetTickCount() - start) / 1000.0);
    for (const std::string &fault : g_faults)
        printf("       %s\n", fault.c_str());
    if (!g_faults.empty() && !g_picture.empty())
        printf("       the screen at its first fault: %s\n", g_picture.c_str());
    g_picture = "";
    bool passed = g_faults.empty();
    g_faults.clear();
    g_window = "";
    return passed;
}

bool Selected(const std::string &name)
{
    char cases[1024] = "";
    if (!GetEnvironmentVariableA("E2E_CASES", cases, sizeof cases))
        return true;
    for (const char *one = strtok(cases, ";"); one; one = strtok(NULL, ";"))
        if (name.find(one) != std::string::npos)
            return true;
    return false;
}

bool CasesRan(int ran)
{
    char cases[1024] = "";
    if (ran || !GetEnvironmentVariableA("E2E_CASES", cases, sizeof cases))
        return true;
    printf("FAIL E2E_CASES=%s: no case's name here holds it\n", cases);
    return false;
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
        DWORD code = WaitForExit(program, WINDOW_WAIT_MS);
        if (code == STILL_ACTIVE)
            TerminateProcess(program.hProcess, 1);
        ExpectNumber("exit status", 0, code);
        CheckLaunch(s, dir, job);
    }
    return Report(s.name, start);
}

// Stands in for the install verb's handler: notes how and what the shell asked it to run.
static int Record(const char *script)
{
    STARTUPINFOA si;
    GetStartupInfoA(&si);
    FILE *f = fopen("launched.txt", "wb");
    // A console window of its own would take the foreground from setup's next page.
    fprintf(f, "show %d, %s%s", si.dwFlags & STARTF_USESHOWWINDOW ? si.wShowWindow : -1, script,
            GetConsoleWindow() ? ", in a console window" : "");
    fclose(f);
    return 0;
}

// Stands in for fc /b where Wine's is a stub, as Windows' answers: 0 for two equal files, 1 for two
// that differ, 2 when one cannot be opened (another program holds it).
static int CompareFiles(const char *a, const char *b)
{
    FILE *fa = fopen(a, "rb"), *fb = fopen(b, "rb");
    if (fa)
        fclose(fa);
    if (fb)
        fclose(fb);
    return !fa || !fb ? 2 : FileBytes(a) == FileBytes(b) ? 0 : 1;
}

int main(int argc, char **argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--record" && argc == 3)
        return Record(argv[2]);
    if (mode == "stay")  // a stand-in for the installed program, running until it is stopped
        Sleep(INFINITE);
    if (mode == "/b" && argc == 4)  // a copy of this program named fc.exe
        return CompareFiles(argv[2], argv[3]);
    // Before any window: a copy of this program stands in for a system tool that fails.
    if ((mode != "pages" && mode != "install") || argc != 5) {
        fprintf(stderr, "usage: e2e pages SETUP_EXE SCRIPT PROBE_DLL\n"
                        "       e2e install SHIP_DIR PROBE_DLL SEEN\n");
        return 2;
    }
    StartDesktop();
    if (mode == "install") {
        g_probeDll = WindowsPath(argv[3]);
        return RunInstall(WindowsPath(argv[2]), argv[4]) ? 0 : 1;
    }
    std::string setup = WindowsPath(argv[2]), script = WindowsPath(argv[3]), work = "C:\\pages";
    CreateDirectoryA(work.c_str(), NULL);
    g_probeDll = WindowsPath(argv[4]);
    // The install verb goes to a recorder for these cases, and back afterwards: a windowed copy of
    // this program, since a console one opens a window that may take the foreground from the page.
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, sizeof self);
    std::string recorder = work + "\\recorder.exe", verb = "\"" + recorder + "\" --record \"%1\"";
    if (!CopyAsWindowed(self, recorder)) {
        printf("FAIL could not make %s\n", recorder.c_str());
        return 1;
    }
    const char *key = "inffile\\shell\\install\\command";
    char saved[1024] = "";
    LONG savedSize = sizeof saved;
    RegQueryValueA(HKEY_CLASSES_ROOT, key, saved, &savedSize);
    RegSetValueA(HKEY_CLASSES_ROOT, key, REG_SZ, verb.c_str(), verb.size());

    int failed = 0, count = sizeof kScenarios / sizeof kScenarios[0];
    DWORD budget = 0;  // a case waits for each window, for none after the last, for the exit and the launch
    for (const Scenario &s : kScenarios) {
        int waits = 3;
        for (const Step *step = s.steps; step->window != END; step++)
            waits++;
        budget += waits * WINDOW_WAIT_MS;
    }
    DeclareBudget(budget);
    int ran = 0;
    for (int n = 0; n < count; n++)
        if (Selected(kScenarios[n].name))
            ran++, failed += !RunScenario(n, setup, script, work);
    RegSetValueA(HKEY_CLASSES_ROOT, key, REG_SZ, saved, strlen(saved));
    printf("%d of %d cases failed\n", failed, ran);
    return failed || !CasesRan(ran) ? 1 : 0;
}
