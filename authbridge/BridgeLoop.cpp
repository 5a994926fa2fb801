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

void BridgeSleep(uint32_t milliseconds)
{
    Sleep(milliseconds);
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
    return RunBridge(FBridgeTime{BridgeClock, BridgeSleep});
}

int RunBridge(const FBridgeTime& time)
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
    double lastActivity = time.Now();
    while (!stop)
    {
        time.Sleep(FirstSleepMs);
        if (BytesWaiting(input) > 0)
        {
            lastActivity = time.Now();
            HandleOneRequest(input, output);
        }
        else if (IsIdleLimitExceeded(time.Now(), lastActivity))
        {
            stop = true;
        }
        RunSteamCallbacks();
        time.Sleep(SecondSleepMs);
    }

    ShutdownSteamGameServer();
    return 0;
}
