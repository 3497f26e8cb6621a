// Hook library loaded into setup.exe's thread: answers what only that process can see truly
// (the window's icons, the dialog's base units, where its libraries come from) by leaving
// properties on the window asked.
#include "probe.h"

#include <string.h>

static HWND FindIconControl(HWND hDlg)
{
    for (HWND h = GetWindow(hDlg, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT))
        if ((GetWindowLongA(h, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
            return h;
    return NULL;
}

static void CutToFolder(char *path)
{
    char *slash = strrchr(path, '\\');
    *(slash ? slash : path) = 0;
}

static LibrarySource SourceOf(const char *name)
{
    HMODULE hLibrary = LoadLibraryA(name);
    if (!hLibrary)
        return NOT_LOADED;
    char library[MAX_PATH] = "", setup[MAX_PATH] = "", system[MAX_PATH] = "";
    GetModuleFileNameA(hLibrary, library, MAX_PATH);
    GetModuleFileNameA(NULL, setup, MAX_PATH);
    GetSystemDirectoryA(system, MAX_PATH);
    FreeLibrary(hLibrary);
    CutToFolder(library);
    CutToFolder(setup);
    return !lstrcmpiA(library, setup) ? FROM_SETUP_FOLDER : !lstrcmpiA(library, system) ? FROM_SYSTEM_FOLDER : FROM_ELSEWHERE;
}

static void Answer(HWND hWnd)
{
    HICON hSetupIcon = LoadIconA(GetModuleHandleA(NULL), "SETUP");
    HICON hSmall = (HICON)SendMessageA(hWnd, WM_GETICON, ICON_SMALL, 0);
    HICON hBig = (HICON)SendMessageA(hWnd, WM_GETICON, ICON_BIG, 0);
    SetPropA(hWnd, "probe.small", (HANDLE)(INT_PTR)(hSetupIcon && hSmall == hSetupIcon ? 1 : 2));
    SetPropA(hWnd, "probe.big", (HANDLE)(INT_PTR)(hBig ? 2 : 1));

    RECT units = {0, 0, 4, 8};
    MapDialogRect(hWnd, &units);
    SetPropA(hWnd, "probe.units", (HANDLE)(INT_PTR)MAKELONG(units.right, units.bottom));

    HWND hIcon = FindIconControl(hWnd);
    HICON hShown = hIcon ? (HICON)SendMessageA(hIcon, STM_GETICON, 0, 0) : NULL;
    SetPropA(hWnd, "probe.erroricon", (HANDLE)(INT_PTR)(hShown && hShown == LoadIconA(NULL, IDI_ERROR) ? 1 : 2));

    SetPropA(hWnd, "probe.stranger", (HANDLE)(INT_PTR)SourceOf(STRANGER_LIBRARY));
    SetPropA(hWnd, "probe.system", (HANDLE)(INT_PTR)SourceOf(SYSTEM_NAMED_LIBRARY));
}

extern "C" __declspec(dllexport) LRESULT CALLBACK Probe(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPSTRUCT *msg = (const CWPSTRUCT *)lParam;
    if (code == HC_ACTION && msg->message == WM_PROBE)
        Answer(msg->hwnd);
    return CallNextHookEx(NULL, code, wParam, lParam);
}
