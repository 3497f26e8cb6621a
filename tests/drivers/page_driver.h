// Drives a running setup.exe for the tests and `make run`, as a user and the dialog manager would.
#pragma once
#include <windows.h>

#include <string>

struct Program {
    HANDLE hProcess;
    DWORD pid;
    DWORD tid;  // the one thread, which owns every page
};

// `ms` scaled for where the session runs (QUIBEL_WAIT_SCALE): every wait takes its limit from this,
// since under emulation everything takes ten times as long and more.
DWORD Patience(DWORD ms);

// What a wait may take under this machine's Wine, before Patience(): a window to come up or a
// program to end (a fraction of a second here), and the setup engine's install or uninstall run
// (about 3 s here). The desktop process took up to 9.5 s in the emulated machine with four rows in
// it and the host busy (under a second here, scaled), and the `pages` test holds it back 15 s here:
// four times that.
enum : DWORD { WINDOW_WAIT_MS = 10000, ENGINE_WAIT_MS = 30000, DESKTOP_WAIT_MS = 60000 };

// Tells the emulated machine how long this job may take, `ms` being the sum of its waits: the
// machine is stopped as hung only after that, scaled, so the job's own messages come first.
void DeclareBudget(DWORD ms);

// Starts the desktop process and waits for it to serve windows. Under Wine the first window of a
// session waits 10 s at most for that process, and a desktop that comes later serves no window of
// that session; a busy host's emulated machine takes longer. Call it before any other window call.
void StartDesktop();

// Turns a Unix path into the Z: path Wine gives it; Windows paths pass unchanged.
std::string WindowsPath(const std::string &path);

// The folder part of a Windows path.
std::string FolderOf(const std::string &path);

// Starts `exe args` in `dir`, inside `job` when one is given.
bool StartProgram(const std::string &exe, const std::string &args, const std::string &dir, HANDLE job,
                  Program *program);
// The same for a whole command line, as CreateProcess reads it; its output and errors go to
// `output` (an inheritable handle) when one is given.
bool StartCommand(std::string command, const std::string &dir, HANDLE job, Program *program, HANDLE output = NULL);

// A visible dialog of the program, or NULL.
HWND FindDialog(DWORD pid);

// Waits for a dialog of the program, once `previous` is gone, to be shown, active and focused.
// NULL when the program ends or Patience(`timeoutMs`) passes without one.
HWND WaitForDialog(const Program &program, HWND previous, DWORD timeoutMs);

std::string WindowTextOf(HWND hWnd);
std::string ClassOf(HWND hWnd);
HWND FocusOf(const Program &program);

// What a user does to end a page.
enum Action { PRESS_ENTER, PRESS_ENTER_IN_TEXT, PRESS_ESCAPE, CLICK_MAIN, CLICK_CANCEL, CLOSE_BOX };
// False when the action could not be carried out as asked.
bool Act(HWND hDlg, const Program &program, Action action);

// The exit status, or STILL_ACTIVE when the program has not ended within Patience(`timeoutMs`).
DWORD WaitForExit(const Program &program, DWORD timeoutMs);

// Waits for every process started in `job` to end: the program and all it started, such as the
// setup engine. False when some still run after Patience(`timeoutMs`).
bool WaitForJob(HANDLE job, DWORD timeoutMs);

// Copies the window's part of the screen (the whole screen for the desktop window) into a 24-bit BMP
// file; false when it could not be written.
bool SavePicture(HWND hWnd, const std::string &path);
