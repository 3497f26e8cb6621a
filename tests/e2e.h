// What the two roles of the end-to-end driver share: the pages (e2e.cpp) and the real install
// (e2e_install.cpp) walk setup.exe the same way and report faults the same way.
#pragma once
#include <string>

#include "page_driver.h"

extern const char kTitle[];

enum { AGREEMENT, SUMMARY, COMPLETION, MANUAL, MESSAGE_BOX, END };

// What the case folder holds besides a stranger's libraries: setup.exe as built with the script or
// without; a copy whose "LICENSE" layout cannot be found; a copy that cannot find the call that
// narrows its library search, as on Windows before 8 without its update; setup.exe as built, told
// by Wine that it runs on Vista.
enum Contents { WITH_SCRIPT, NO_SCRIPT, NO_LICENSE_LAYOUT, NO_SEARCH_NARROWING, TOLD_VISTA };

struct Step {
    int window;  // a page, the message box, or END: the program must end here
    Action action;
};

struct Scenario {
    const char *name;
    const char *args;
    Contents folder;
    bool launches;
    Step steps[5];
};

extern std::string g_probeDll;  // the probe, and the libraries a stranger leaves beside setup.exe
extern std::string g_window;    // names the window a fault was found in
extern void (*g_beforeAct)();   // called on each window before it is acted on, when set

void Fault(const std::string &text);
// A fault when `got` is not `expected`, saying both.
void Expect(const std::string &what, const std::string &expected, const std::string &got);
void ExpectNumber(const std::string &what, long expected, long got, const char *format = "%ld");
// Says how the case went with its faults, and starts the next one with none; true when it passed.
bool Report(const char *name, DWORD start);
// The file's bytes, or "nothing" when it cannot be read.
std::string FileBytes(const std::string &path);
bool WriteBytes(const std::string &path, const std::string &bytes);
// Walks the running setup.exe through the scenario's windows, checking each.
void Walk(const Scenario &s, const Program &program);
// Whether the case runs: all do, unless E2E_CASES names some, one or more texts separated by
// semicolons; a case runs when its name holds one of them.
bool Selected(const std::string &name);
// False, saying so, when E2E_CASES named none of this run's cases (RAN of them ran).
bool CasesRan(int ran);

// The real install by the platform's setup engine and its uninstalls, on the Windows that tells a
// program SEEN; true when every check passed.
bool RunInstall(const std::string &ship, const std::string &seen);
