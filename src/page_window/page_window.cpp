// The page window: fills a layout from the page catalogue and ends with the button the user chose.
#include <windows.h>

#include "page_ids.h"
#include "page_window.h"
#include "setup.h"
#include "setup_pages.h"

static void InitPage(HWND hDlg, int page)
{
    SendMessageA(hDlg, WM_SETICON, ICON_SMALL, (LPARAM)g_hSetupIcon);
    SetWindowTextA(hDlg, kSetupTitle);
    SetDlgItemTextA(hDlg, IDC_PAGE_TEXT, kSetupPages[page].body);
    SetDlgItemTextA(hDlg, IDOK, kSetupPages[page].caption);
}

static void EndPageOnCommand(HWND hDlg, WPARAM wParam)
{
    // The whole wParam is compared, so only notification code 0 counts: clicks, Enter, Escape and
    // the close box; the text box's own notifications are left alone.
    if (wParam == IDOK || wParam == IDCANCEL)
        EndDialog(hDlg, wParam == IDOK);
}

INT_PTR CALLBACK PageDialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_INITDIALOG:
        InitPage(hDlg, (int)lParam);
        return TRUE;  // the dialog manager then focuses the first tab stop, the main button
    case WM_COMMAND:
        EndPageOnCommand(hDlg, wParam);
        return FALSE;
    }
    return FALSE;
}

int ShowPage(HINSTANCE hInstance, const char *layout, int page)
{
    // A window that cannot be made at all (-1) counts as cancelled, so nothing is launched
    // that the user has not agreed to.
    return DialogBoxParamA(hInstance, layout, NULL, PageDialogProc, page) == 1;
}
