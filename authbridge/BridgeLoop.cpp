#include "BridgeLoop.h"

#include "BridgeProtocol.h"
#include "SteamGameServerCalls.h"
#include "SteamHandler.h"

#include <windows.h>

namespace
{
constexpr DWORD FirstSleepMs = 50;
constexpr DWORD SecondSleepMs = 10;

double SecondsPerTick = 0.0;

double BridgeClock()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * SecondsPerTick;
}

// A failed peek (the parent has gone, or the input is not a pipe) counts as nothing waiting.
DWORD BytesWaiting(HANDLE input)
{
    DWORD available = 0;
    PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr);
    return available;
}
} // namespace

bool IsIdleLimitExceeded(double now, double lastActivity)
{
    return now - lastActivity > IdleTimeoutSeconds;
}

int RunBridge()
{
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);

    StartSteamGameServer();
    // Lives until the process ends: Steam keeps pointers to its callbacks.
    new FSteamHandler();

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    SecondsPerTick = 1.0 / static_cast<double>(frequency.QuadPart);

    bool stop = false;
    double lastActivity = BridgeClock();
    while (!stop)
    {
        Sleep(FirstSleepMs);
        if (BytesWaiting(input) > 0)
        {
            lastActivity = BridgeClock();
            HandleOneRequest(input, output);
        }
        else if (IsIdleLimitExceeded(BridgeClock(), lastActivity))
        {
            stop = true;
        }
        RunSteamCallbacks();
        Sleep(SecondSleepMs);
    }

    ShutdownSteamGameServer();
    return 0;
}
