// The setup sequence and the one icon handle its pages share.
#pragma once
#include <windows.h>

// Loaded once before the first page and never released.
extern HICON g_hSetupIcon;

// Runs the pages and the launch of the install script; always returns 0.
int RunSetup(HINSTANCE hInstance);
