// `make run` without a display: walks setup.exe as a user would (Enter on each window: I Agree,
// Install, Finish), saves a picture of every window it shows, and waits for what setup started.
// usage: walk_pages SETUP_EXE PICTURE_DIR
#include <windows.h>

#include <stdio.h>

#include <string>

#include "page_driver.h"
#include "page_ids.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: walk_pages SETUP_EXE PICTURE_DIR\n");
        return 2;
    }
    StartDesktop();
    std::string exe = WindowsPath(argv[1]), pictures = WindowsPath(argv[2]);
    Program program;
    HANDLE job = CreateJobObjectA(NULL, NULL);
    if (!StartProgram(exe, "", FolderOf(exe), job, &program)) {
        fprintf(stderr, "walk_pages: cannot start %s\n", exe.c_str());
        return 1;
    }
    // Three pages, with room for a message box and more; each drawn before its picture is taken.
    const int most = 6;
    const DWORD drawing = 1000;
    DeclareBudget(most * (WINDOW_WAIT_MS + drawing) + WINDOW_WAIT_MS + ENGINE_WAIT_MS);
    HWND hPrevious = NULL;
    for (int n = 1; n <= most; n++) {
        HWND hWnd = WaitForDialog(program, hPrevious, WINDOW_WAIT_MS);
        if (!hWnd)
            break;
        // Wine may draw the first window's title bar as inactive although the window is active.
        SendMessageA(hWnd, WM_NCACTIVATE, TRUE, 0);
        Sleep(Patience(drawing));  // Wine finishes drawing the frame a moment after the window is shown
        std::string what = GetDlgItem(hWnd, IDC_PAGE_TEXT) ? "page \"" + WindowTextOf(GetDlgItem(hWnd, IDOK)) + "\"" : "message box";
        std::string path = pictures + "\\window-" + std::to_string(n) + ".bmp";
        printf("%s: %s\n", what.c_str(), SavePicture(hWnd, path) ? path.c_str() : "no picture");
        fflush(stdout);
        Act(hWnd, program, PRESS_ENTER);
        hPrevious = hWnd;
    }
    DWORD code = WaitForExit(program, WINDOW_WAIT_MS);
    printf("setup.exe ended with exit status %lu\n", code);
    if (!WaitForJob(job, ENGINE_WAIT_MS))
        printf("what setup.exe started is still running after %lu s\n", Patience(ENGINE_WAIT_MS) / 1000);
    return code == 0 ? 0 : 1;
}
