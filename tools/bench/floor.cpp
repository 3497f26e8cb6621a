// The floor of the start-up benchmark: the smallest program that shows one empty dialog from a
// template, built the way setup.exe is. Built a second time with setup's shell32 import, to tell
// the cost of loading shell32 from that of setup's own work.
#include <windows.h>
#include <shellapi.h>
#include <stdlib.h>

static INT_PTR CALLBACK FloorDialogProc(HWND hDlg, UINT uMsg, WPARAM, LPARAM)
{
    if (uMsg == WM_COMMAND)
        EndDialog(hDlg, 0);
    return uMsg == WM_INITDIALOG;
}

extern "C" void WinMainCRTStartup(void)
{
#ifdef WITH_SHELL32
    if (!GetModuleHandleA(NULL))  // never true: only puts ShellExecuteA in the import table
        ShellExecuteA(NULL, NULL, NULL, NULL, NULL, SW_SHOWNORMAL);
#endif
    exit((int)DialogBoxParamA(GetModuleHandleA(NULL), "FLOOR", NULL, FloorDialogProc, 0));
}
