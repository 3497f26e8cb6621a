// Drives a running setup.exe from another process: finds its dialogs, reads them and presses keys.
#include "page_driver.h"

#include <stdio.h>
#include <stdlib.h>

#include "page_ids.h"

DWORD Patience(DWORD ms)
{
    static DWORD scale = 0;
    if (!scale) {
        char text[16] = "";
        GetEnvironmentVariableA("QUIBEL_WAIT_SCALE", text, sizeof text);
        scale = atoi(text) > 0 ? atoi(text) : 1;
    }
    return ms * scale;
}

void DeclareBudget(DWORD ms)
{
    char path[MAX_PATH] = "";
    if (!GetEnvironmentVariableA("QUIBEL_BUDGET_FILE", path, sizeof path))
        return;
    FILE *f = fopen(WindowsPath(path).c_str(), "wb");  // a bare number: no CR before the LF
    if (f) {
        fprintf(f, "%lu\n", (unsigned long)(Patience(ms) / 1000 + 1));
        fclose(f);
    }
}

void StartDesktop()
{
    // The command Wine itself runs, for the system's own bitness as Wine starts it.
    char command[] = "\"C:\\windows\\system32\\explorer.exe\" /desktop";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    void *redirection = NULL;
    Wow64DisableWow64FsRedirection(&redirection);
    BOOL started = CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi);
    DWORD error = GetLastError();
    Wow64RevertWow64FsRedirection(redirection);
    if (!started) {
        printf("could not start the desktop process: error %lu\n", error);
        return;
    }
    if (WaitForInputIdle(pi.hProcess, Patience(DESKTOP_WAIT_MS)))
        printf("the desktop process did not come up within %lu s\n", (unsigned long)(Patience(DESKTOP_WAIT_MS) / 1000));
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

std::string FolderOf(const std::string &path)
{
    return path.substr(0, path.find_last_of('\\'));
}

std::string WindowsPath(const std::string &path)
{
    if (path.empty() || path[0] != '/')
        return path;
    std::string result = "Z:" + path;
    for (char &c : result)
        if (c == '/')
            c = '\\';
    return result;
}

bool StartProgram(const std::string &exe, const std::string &args, const std::string &dir, HANDLE job,
                  Program *program)
{
    return StartCommand("\"" + exe + "\"" + (args.empty() ? "" : " " + args), dir, job, program);
}

bool StartCommand(std::string command, const std::string &dir, HANDLE job, Program *program, HANDLE output)
{
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    if (output) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = si.hStdError = output;
    }
    PROCESS_INFORMATION pi;
    // Suspended until it is in the job, so that nothing it starts escapes the count. The host's Wine
    // failed a start of cmd with an internal error (1359) once in a make check here, a fault of its
    // own and not the case's: such a start is tried once more.
    auto start = [&] {
        return CreateProcessA(NULL, &command[0], NULL, NULL, output != NULL, CREATE_SUSPENDED, NULL, dir.c_str(), &si, &pi);
    };
    BOOL started = start();
    if (!started && GetLastError() == ERROR_INTERNAL_ERROR) {
        printf("       could not start, error %d, trying once more: %s\n", ERROR_INTERNAL_ERROR, command.c_str());
        started = start();
    }
    if (!started) {
        printf("       could not start, error %lu: %s\n", GetLastError(), command.c_str());
        return false;
    }
    if (job)
        AssignProcessToJobObject(job, pi.hProcess);
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    *program = {pi.hProcess, pi.dwProcessId, pi.dwThreadId};
    return true;
}

struct DialogSearch {
    DWORD pid;
    HWND found;
};

static BOOL CALLBACK MatchDialog(HWND hWnd, LPARAM lParam)
{
    DialogSearch *search = (DialogSearch *)lParam;
    DWORD pid = 0;
    GetWindowThreadProcessId(hWnd, &pid);
    if (pid != search->pid || !IsWindowVisible(hWnd) || ClassOf(hWnd) != "#32770")
        return TRUE;
    search->found = hWnd;
    return FALSE;
}

HWND FindDialog(DWORD pid)
{
    DialogSearch search = {pid, NULL};
    EnumWindows(MatchDialog, (LPARAM)&search);
    return search.found;
}

// Keys go where the focus is, and the focus is set as the dialog becomes the active window,
// which may come a moment after it is shown.
static bool IsReady(const Program &program, HWND hDlg)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(program.tid, &info) && info.hwndActive == hDlg && info.hwndFocus;
}

HWND WaitForDialog(const Program &program, HWND previous, DWORD timeoutMs)
{
    HWND hFound = NULL;
    timeoutMs = Patience(timeoutMs);
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(20)) {
        if (previous && IsWindow(previous))
            continue;
        hFound = FindDialog(program.pid);
        if (hFound && IsReady(program, hFound))
            return hFound;
        if (WaitForSingleObject(program.hProcess, 0) == WAIT_OBJECT_0)
            return NULL;
    }
    return hFound;  // shown but never focused: the caller's checks will say so
}

std::string WindowTextOf(HWND hWnd)
{
    // WM_GETTEXT rather than GetWindowText: it reaches into another process's controls.
    char text[4096] = "";
    SendMessageTimeoutA(hWnd, WM_GETTEXT, sizeof text, (LPARAM)text, SMTO_BLOCK, Patience(5000), NULL);
    return text;
}

std::string ClassOf(HWND hWnd)
{
    char name[64] = "";
    GetClassNameA(hWnd, name, sizeof name);
    return name;
}

HWND FocusOf(const Program &program)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(program.tid, &info) ? info.hwndFocus : NULL;
}

static void Click(HWND hButton)
{
    PostMessageA(hButton, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(4, 4));
    PostMessageA(hButton, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
}

bool Act(HWND hDlg, const Program &program, Action action)
{
    switch (action) {
    case PRESS_ENTER_IN_TEXT:
        // Focus moves as a click into the text box would move it; then Enter goes to the text box.
        SendMessageA(hDlg, WM_NEXTDLGCTL, (WPARAM)GetDlgItem(hDlg, IDC_PAGE_TEXT), TRUE);
        if (FocusOf(program) != GetDlgItem(hDlg, IDC_PAGE_TEXT))
            return false;
        // fall through
    case PRESS_ENTER:
        PostMessageA(FocusOf(program), WM_KEYDOWN, VK_RETURN, 1);
        break;
    case PRESS_ESCAPE:
        PostMessageA(FocusOf(program), WM_KEYDOWN, VK_ESCAPE, 1);
        break;
    case CLICK_MAIN:
        Click(GetDlgItem(hDlg, IDOK));
        break;
    case CLICK_CANCEL:
        Click(GetDlgItem(hDlg, IDCANCEL));
        break;
    case CLOSE_BOX:
        PostMessageA(hDlg, WM_SYSCOMMAND, SC_CLOSE, 0);
        break;
    }
    return true;
}

DWORD WaitForExit(const Program &program, DWORD timeoutMs)
{
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(program.hProcess, Patience(timeoutMs)) == WAIT_OBJECT_0)
        GetExitCodeProcess(program.hProcess, &code);
    return code;
}

bool WaitForJob(HANDLE job, DWORD timeoutMs)
{
    for (DWORD start = GetTickCount();; Sleep(50)) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
        QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, NULL);
        if (!info.ActiveProcesses)
            return true;
        if (GetTickCount() - start >= Patience(timeoutMs))
            return false;
    }
}

bool SavePicture(HWND hWnd, const std::string &path)
{
    RECT r;
    GetWindowRect(hWnd, &r);
    BITMAPINFOHEADER info = {sizeof info, r.right - r.left, r.bottom - r.top, 1, 24, BI_RGB};
    info.biSizeImage = ((info.biWidth * 3 + 3) & ~3) * info.biHeight;
    BITMAPFILEHEADER file = {0x4D42, DWORD(sizeof file + sizeof info + info.biSizeImage), 0, 0,
                             DWORD(sizeof file + sizeof info)};
    HDC hScreen = GetDC(NULL), hMemory = CreateCompatibleDC(hScreen);
    void *bits = NULL;
    HBITMAP hBitmap = CreateDIBSection(hMemory, (BITMAPINFO *)&info, DIB_RGB_COLORS, &bits, NULL, 0);
    SelectObject(hMemory, hBitmap);
    BitBlt(hMemory, 0, 0, info.biWidth, info.biHeight, hScreen, r.left, r.top, SRCCOPY);
    GdiFlush();
    FILE *f = fopen(path.c_str(), "wb");
    bool saved = f && fwrite(&file, sizeof file, 1, f) && fwrite(&info, sizeof info, 1, f) &&
                 fwrite(bits, info.biSizeImage, 1, f);
    if (f)
        fclose(f);
    DeleteObject(hBitmap);
    DeleteDC(hMemory);
    ReleaseDC(NULL, hScreen);
    return saved;
}
