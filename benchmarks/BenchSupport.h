// What the benchmark programs share: a clock, order statistics and where the programs are.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The folder of the running program, where the bridge and the stand-in Steam library sit.
std::wstring ProgramFolder();

// Seconds from the high-resolution performance counter.
double NowSeconds();

// The value below which the given fraction of the samples lie (nearest rank); 0.5 is the median.
double Percentile(std::vector<double> samples, double fraction);

// Working set of a process, now and at its peak, in bytes.
struct FMemoryFigures
{
    size_t WorkingSet = 0;
    size_t PeakWorkingSet = 0;
};
FMemoryFigures MemoryOf(HANDLE process);

// CPU time (user + kernel) a process has used, in seconds.
double CpuSecondsOf(HANDLE process);

// CPU time (user + system) of the Wine server of this program's Wine prefix, in seconds; negative
// when it cannot be found (not under Wine on Linux, or WINEPREFIX not set). Under Wine every pipe
// call is a request to that server, so a program's cost includes part of the server's time.
double WineServerCpuSeconds();
