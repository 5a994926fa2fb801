// Linked into the coverage variant of authbridge.exe only. The bridge ends by itself only after 900
// seconds of silence; in the tests it is killed, and a killed process never writes its coverage
// counters. So a thread of its own writes them while it runs: it adds the counts gathered so far to
// the counter files and starts them again from zero. A count that the bridge adds while its
// counters are being written may be lost; what runs in every cycle is counted all the same.
#include <windows.h>

extern "C" void __gcov_dump(void);
extern "C" void __gcov_reset(void);

namespace
{
constexpr DWORD DumpIntervalMs = 250;

DWORD WINAPI DumpCountersForever(void*)
{
    for (;;)
    {
        Sleep(DumpIntervalMs);
        __gcov_dump();
        __gcov_reset();
    }
}

struct FRunningCoverageDump
{
    FRunningCoverageDump()
    {
        HANDLE thread = CreateThread(nullptr, 0, DumpCountersForever, nullptr, 0, nullptr);
        if (thread != nullptr)
        {
            CloseHandle(thread);
        }
    }
};

const FRunningCoverageDump RunningCoverageDump;
} // namespace
