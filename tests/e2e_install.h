// What the install role's two files share (e2e_install.cpp, e2e_deploy.cpp): the machine as a
// Windows program sees it, the install's promises and the quiet runs.
#pragma once

#include <windows.h>

#include <set>
#include <string>

extern const char kUninstallKey[];   // under HKLM; the entry is its Quibel32 key
extern const char kWineOverrides[];  // under HKCU: which of a program's libraries Wine takes native

bool Is64BitWindows();
std::string KnownFolder(int csidl);
// Adds the path of everything under `dir` to `names`.
void ListTree(const std::string &dir, std::set<std::string> *names);
// A folder of 64-bit Windows' own, such as ProgramW6432, from the environment; empty where there is none.
std::string Folder64(const char *variable);
// Everything the install may add to, and the uninstall must leave as it was.
std::set<std::string> Snapshot();
// A value of the uninstall entry in one registry view (0: this program's own), as "REG_SZ text";
// "none" when it is not there.
std::string UninstallValue(const char *name, REGSAM view = 0);
// A value of this program's view of the entry, as another version's install, or this one's, writes it.
void SetEntryValue(const char *name, const std::string &value);
void SetDisplayVersion(const char *version);
// What the summary page promises, against what the install made (`after`).
void CheckInstalled(const std::string &ship, const std::set<std::string> &before, const std::set<std::string> &after);
// What an uninstall must have left as it was before the install.
void CheckUnchanged(const std::string &after, const std::set<std::string> &before, const std::set<std::string> &installed);
std::string Joined(const std::set<std::string> &names);
// A user's additions in the installed folders, and the check that an uninstall left them alone.
std::set<std::string> AddUserItems();
void CheckUserItemsKept(const std::string &after, const std::set<std::string> &added, const std::set<std::string> &before,
                        const std::set<std::string> &installed);
// A program of the system's own bitness, and a command line as typed at its prompt.
std::string SystemProgram(const char *name);
std::string AtPrompt(const std::string &line);
// A deployment tool's view of a run: its exit status and the detection rule.
std::string Outcome(DWORD status);
// Runs a command as a deployment tool does, in `dir`, with no window; its exit status, and what it
// printed into `output` when asked for.
DWORD RunQuietly(const std::string &step, const std::string &command, const std::string &dir, DWORD timeoutMs,
                 std::string *output = NULL);

// e2e_deploy.cpp: deploy.cmd through the machine's states, from nothing installed to nothing
// installed; and from a folder without stations.dat.
void RunDeployTable(const std::string &ship, const std::set<std::string> &before, const std::set<std::string> &installed);
void RunIncomplete(const std::string &ship, const std::set<std::string> &before);
// How many runs of deploy.cmd, each of which may wait for the setup engine, the table makes here.
int DeployRuns();
