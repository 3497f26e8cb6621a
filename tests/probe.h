// What the test driver and its probe inside setup.exe share.
#pragma once
#include <windows.h>

// Sent to a window of setup's to have the probe answer in properties of that window.
#define WM_PROBE (WM_USER + 77)

// Left beside setup.exe as a stranger would leave them: a made-up name, and a system name whose
// Wine builtin defers to a copy in the program's folder. Copies of the probe: any library of the
// right bitness will do.
#define STRANGER_LIBRARY "stranger.dll"
#define SYSTEM_NAMED_LIBRARY "dwmapi.dll"

// Where a library that setup's process asks for by bare name comes from ("probe.stranger",
// "probe.system").
enum LibrarySource { SOURCE_UNKNOWN, NOT_LOADED, FROM_SETUP_FOLDER, FROM_SYSTEM_FOLDER, FROM_ELSEWHERE };
