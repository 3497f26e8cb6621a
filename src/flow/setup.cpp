// The setup sequence: agreement, summary, the shell's launch of the install script, and the ending it calls for.
#include <windows.h>
#include <shellapi.h>
#include <stdlib.h>

#include "page_window.h"
#include "setup.h"
#include "setup_pages.h"

HICON g_hSetupIcon;

// Libraries that the system's own code loads late, by bare name, and that are not among the known
// libraries Windows takes only from the system folder.
static const char kLateSystemLibraries[] =
    "uxtheme.dll\0version.dll\0dwmapi.dll\0cryptbase.dll\0propsys.dll\0profapi.dll\0userenv.dll\0"
    "setupapi.dll\0apphelp.dll\0oleacc.dll\0clbcatq.dll\0ntmarta.dll\0textshaping.dll\0";

// Setup runs elevated from a folder that strangers can write to (Downloads), and Windows looks in a
// program's own folder first for a library asked for by bare name: nothing may come from there.
static void LoadLibrariesFromSystemOnly()
{
    // Looked up, not imported: older Windows lack them, and would refuse to start the program.
    HMODULE hKernel = GetModuleHandleA("kernel32");
    auto setSearchPathMode = (decltype(&SetSearchPathMode))(void *)GetProcAddress(hKernel, "SetSearchPathMode");
    auto setDefaultDllDirectories =
        (decltype(&SetDefaultDllDirectories))(void *)GetProcAddress(hKernel, "SetDefaultDllDirectories");
    auto setDllDirectory = (decltype(&SetDllDirectoryA))(void *)GetProcAddress(hKernel, "SetDllDirectoryA");
    if (setSearchPathMode)
        setSearchPathMode(BASE_SEARCH_PATH_ENABLE_SAFE_SEARCHMODE | BASE_SEARCH_PATH_PERMANENT);
    // On Vista (6.0) the shell fails to create one of its objects under the narrowed search.
    if (setDefaultDllDirectories && LOWORD(GetVersion()) != 0x0006) {
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
        return;
    }
    // Older Windows: the current directory leaves the search where it can, and the libraries that
    // would be looked for in setup's folder are loaded first from the system folder, whose copies a
    // later load by bare name then finds. An unknown name can still come from setup's folder.
    if (setDllDirectory)
        setDllDirectory("");
    char path[2 * MAX_PATH];  // the system folder and any one name after it
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (!length || length >= MAX_PATH)
        return;
    path[length++] = '\\';
    for (const char *name = kLateSystemLibraries; *name;) {
        for (char *end = path + length; (*end++ = *name++) != 0;) {
        }
        // The library's own dependencies are then looked for in the system folder too.
        LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
}

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
    LoadLibrariesFromSystemOnly();
    exit(RunSetup(GetModuleHandleA(NULL)));
}
