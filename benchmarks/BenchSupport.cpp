#include "BenchSupport.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cmath>
#include <sstream>

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
// A Unix file through Wine's Z: drive, which maps the Unix root; /proc files have no size, so it is
// read until its end.
std::string ReadUnixFile(const std::wstring& path)
{
    std::string content;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return content;
    }
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
    {
        content.append(buffer, read);
    }
    CloseHandle(file);
    return content;
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

double WineServerCpuSeconds()
{
    // Linux counts /proc times in units of 1/100 s on every architecture Wine runs on.
    constexpr double UnixTicksPerSecond = 100.0;
    // utime and stime are the 12th and 13th fields after the parenthesised command name.
    constexpr int UserTimeField = 11;
    char prefix[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("WINEPREFIX", prefix, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
    {
        return -1.0;
    }
    const std::string wanted = "WINEPREFIX=" + std::string(prefix, length) + '\0';
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &entry);
    if (search == INVALID_HANDLE_VALUE)
    {
        return -1.0;
    }
    double seconds = -1.0;
    do
    {
        const std::wstring folder = std::wstring(L"Z:\\proc\\") + entry.cFileName + L"\\";
        if (entry.cFileName[0] < L'0' || entry.cFileName[0] > L'9' ||
            ReadUnixFile(folder + L"comm").rfind("wineserver", 0) != 0 ||
            ReadUnixFile(folder + L"environ").find(wanted) == std::string::npos)
        {
            continue;
        }
        const std::string stat = ReadUnixFile(folder + L"stat");
        const size_t fieldsStart = stat.rfind(')');
        if (fieldsStart == std::string::npos)
        {
            continue;
        }
        std::istringstream fields(stat.substr(fieldsStart + 1));
        std::string field;
        for (int i = 0; i < UserTimeField; ++i)
        {
            fields >> field;
        }
        double user = 0.0;
        double system = 0.0;
        fields >> user >> system;
        seconds = (user + system) / UnixTicksPerSecond;
        break;
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return seconds;
}
