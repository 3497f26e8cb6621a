// The setup sequence: agreement, summary, the shell's launch of the install script, and the ending it calls for.
#include <windows.h>
#include <shellapi.h>
#include <stdlib.h>

#include "page_window.h"
#include "setup.h"
#include "setup_pages.h"

HICON g_hSetupIcon;

static bool LaunchScript()
{
    // The bare file name makes the shell look for the script in the current directory.
    HINSTANCE hResult = ShellExecuteA(NULL, kInstallVerb, kScriptFile, NULL, NULL, SW_SHOWNORMAL);
    return (UINT_PTR)hResult > 32;
}

int RunSetup(HINSTANCE hInstance)
{
    g_hSetupIcon = LoadIconA(hInstance, kSetupIconName);
    if (!ShowPage(hInstance, kLicenseLayout, PAGE_AGREEMENT))
        return 0;
    if (!ShowPage(hInstance, kLicenseLayout, PAGE_CONFIRM))
        return 0;
    if (LaunchScript()) {
        ShowPage(hInstance, kDoneLayout, PAGE_DONE);
    } else {
        MessageBoxA(NULL, kFailureMessage, kSetupTitle, MB_ICONERROR);
        ShowPage(hInstance, kLicenseLayout, PAGE_MANUAL);
    }
    return 0;
}

// The linker's default entry for a GUI program. Defining it ourselves leaves out the C runtime's
// start-up code, which this program has no use for: no arguments, no static constructors.
extern "C" void WinMainCRTStartup(void)
{
    exit(RunSetup(GetModuleHandleA(NULL)));
}
