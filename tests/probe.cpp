// Hook library loaded into setup.exe's thread: answers what only that process can see truly
// (the window's icons, the dialog's base units) by leaving properties on the window asked.
#include <windows.h>

#define WM_PROBE (WM_USER + 77)

static HWND FindIconControl(HWND hDlg)
{
    for (HWND h = GetWindow(hDlg, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT))
        if ((GetWindowLongA(h, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
            return h;
    return NULL;
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
}

extern "C" __declspec(dllexport) LRESULT CALLBACK Probe(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPSTRUCT *msg = (const CWPSTRUCT *)lParam;
    if (code == HC_ACTION && msg->message == WM_PROBE)
        Answer(msg->hwnd);
    return CallNextHookEx(NULL, code, wParam, lParam);
}
