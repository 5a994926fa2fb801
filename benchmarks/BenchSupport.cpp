#include "BenchSupport.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cmath>

namespace
{
constexpr double FileTimeTicksPerSecond = 1e7;

double Seconds(const FILETIME& time)
{
    return static_cast<double>(static_cast<ULONGLONG>(time.dwHighDateTime) << 32 | time.dwLowDateTime) /
           FileTimeTicksPerSecond;
}

// Wine reports no CPU time for another process through GetProcessTimes, but does for its threads.
double CpuSecondsOfThreads(DWORD processId)
{
    double total = 0.0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
    {
        return total;
    }
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    {
        if (entry.th32OwnerProcessID != processId)
        {
            continue;
        }
        HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
        FILETIME created;
        FILETIME exited;
        FILETIME kernel;
        FILETIME user;
        if (thread != nullptr && GetThreadTimes(thread, &created, &exited, &kernel, &user))
        {
            total += Seconds(kernel) + Seconds(user);
        }
        if (thread != nullptr)
        {
            CloseHandle(thread);
        }
    }
    CloseHandle(snapshot);
    return total;
}
} // namespace

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring program(path, length);
    return program.substr(0, program.find_last_of(L'\\'));
}

double NowSeconds()
{
    static const double secondsPerTick = []
    {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return 1.0 / static_cast<double>(frequency.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * secondsPerTick;
}

double Percentile(std::vector<double> samples, double fraction)
{
    if (samples.empty())
    {
        return 0.0;
    }
    std::sort(samples.begin(), samples.end());
    const size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(samples.size())));
    return samples[rank == 0 ? 0 : rank - 1];
}

FMemoryFigures MemoryOf(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    FMemoryFigures figures;
    if (GetProcessMemoryInfo(process, &counters, sizeof(counters)))
    {
        figures.WorkingSet = counters.WorkingSetSize;
        figures.PeakWorkingSet = counters.PeakWorkingSetSize;
    }
    return figures;
}

double CpuSecondsOf(HANDLE process)
{
    FILETIME created;
    FILETIME exited;
    FILETIME kernel;
    FILETIME user;
    double processTotal = 0.0;
    if (GetProcessTimes(process, &created, &exited, &kernel, &user))
    {
        processTotal = Seconds(kernel) + Seconds(user);
    }
    return std::max(processTotal, CpuSecondsOfThreads(GetProcessId(process)));
}
