// The page window: one modal dialog per page, built from a layout of the executable's resources.
#pragma once
#include <windows.h>

INT_PTR CALLBACK PageDialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);

// Shows page `page` in layout `layout` and returns 1 for the main button, 0 for Cancel.
int ShowPage(HINSTANCE hInstance, const char *layout, int page);
