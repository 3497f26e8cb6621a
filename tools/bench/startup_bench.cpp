// `make bench`: time from process creation to the first dialog on screen, and the peak working
// set at that moment, for setup.exe against the floor program, over repeated runs in turn.
// usage: startup_bench RUNS SETUP_EXE FLOOR_EXE...
#include <windows.h>
#include <psapi.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "page_driver.h"

struct Sample {
    double ms;
    double peakKb;
};

static bool Measure(const std::string &exe, Sample *sample)
{
    LARGE_INTEGER frequency, start, shown;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    Program program;
    if (!StartProgram(exe, "", FolderOf(exe), NULL, &program))
        return false;
    HWND hDlg;
    while (!(hDlg = FindDialog(program.pid))) {
        if (WaitForSingleObject(program.hProcess, 1) == WAIT_OBJECT_0)
            return false;
    }
    QueryPerformanceCounter(&shown);
    PROCESS_MEMORY_COUNTERS memory = {};
    GetProcessMemoryInfo(program.hProcess, &memory, sizeof memory);
    *sample = {1000.0 * (shown.QuadPart - start.QuadPart) / frequency.QuadPart, memory.PeakWorkingSetSize / 1024.0};
    PostMessageA(hDlg, WM_COMMAND, IDCANCEL, 0);
    return WaitForExit(program, 10000) == 0;
}

// Median, least and greatest of the values.
static void Summary(const std::string &what, std::vector<double> values, const char *format)
{
    std::sort(values.begin(), values.end());
    std::string line = "  %-40s median " + std::string(format) + "   min " + format + "   max " + format + "\n";
    printf(line.c_str(), what.c_str(), values[values.size() / 2], values.front(), values.back());
}

static std::string BaseName(const std::string &path)
{
    return path.substr(path.find_last_of('\\') + 1);
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: startup_bench RUNS SETUP_EXE FLOOR_EXE...\n");
        return 2;
    }
    StartDesktop();
    int runs = atoi(argv[1]), count = argc - 2;
    std::vector<std::string> exes;
    for (int i = 2; i < argc; i++)
        exes.push_back(WindowsPath(argv[i]));
    // Per program: times, peak working sets, and both as ratios of setup's to the program's.
    std::vector<std::vector<double>> ms(count), kb(count), msRatio(count), kbRatio(count);
    // The first round warms up: Wine's first start of a program is slower.
    for (int round = -1; round < runs; round++) {
        std::vector<Sample> samples(count);
        for (int i = 0; i < count; i++) {
            if (!Measure(exes[i], &samples[i])) {
                fprintf(stderr, "startup_bench: %s did not show its dialog, or did not end with 0\n", exes[i].c_str());
                return 1;
            }
        }
        for (int i = 0; round >= 0 && i < count; i++) {
            ms[i].push_back(samples[i].ms);
            kb[i].push_back(samples[i].peakKb);
            msRatio[i].push_back(samples[0].ms / samples[i].ms);
            kbRatio[i].push_back(samples[0].peakKb / samples[i].peakKb);
        }
    }
    printf("Start-up to the first dialog visible (ms), %d runs each, in turn:\n", runs);
    for (int i = 0; i < count; i++)
        Summary(BaseName(exes[i]), ms[i], "%6.1f");
    for (int i = 1; i < count; i++)
        Summary(BaseName(exes[0]) + " / " + BaseName(exes[i]) + ", run by run", msRatio[i], "%6.3f");
    printf("Peak working set when the first dialog is visible (KB):\n");
    for (int i = 0; i < count; i++)
        Summary(BaseName(exes[i]), kb[i], "%6.0f");
    for (int i = 1; i < count; i++)
        Summary(BaseName(exes[0]) + " / " + BaseName(exes[i]) + ", run by run", kbRatio[i], "%6.3f");
    return 0;
}
