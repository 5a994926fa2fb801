// The bridge's polling cycle in-process, seen through the loop's clock and sleep: each call the loop
// makes on them is recorded, and at each sleep what the bridge did since the last one (bytes it
// wrote to the parent, notices Steam delivered in a dispatch). Nothing here depends on timing.
#include "BridgeLoop.h"
#include "StandInTicket.h"
#include "TestFiles.h"
#include "WireBytes.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace
{
constexpr uint64_t UserA = 76561197960287930ull;
constexpr uint64_t UserB = 76561197960287931ull;
constexpr uint32_t ClientAddress = 0xC0A80117;
// A loop that has made this many sleeps without stopping has lost its cycle: the clock then jumps
// far ahead, so that the test ends and reports what it saw.
constexpr size_t RunawaySleeps = 200;

struct FCycleObserver
{
    std::vector<std::string> Calls;
    double Now = 0.0;
    int Cycle = 0;
    // The clock during each cycle, set as its first sleep begins.
    std::map<int, double> ClockAt;
    // What the parent writes during each cycle's first sleep.
    std::map<int, std::vector<uint8_t>> WritesAt;
    HANDLE ToBridge = nullptr;
    HANDLE FromBridge = nullptr;
    std::wstring LogPath;
    DWORD ReplyBytesSeen = 0;
    size_t NoticesSeen = 0;
    size_t Sleeps = 0;
};

FCycleObserver Observer;

// What the bridge did since the last sleep.
void RecordWhatHappened()
{
    DWORD available = 0;
    if (PeekNamedPipe(Observer.FromBridge, nullptr, 0, nullptr, &available, nullptr) &&
        available > Observer.ReplyBytesSeen)
    {
        Observer.Calls.push_back("reply " + std::to_string(available - Observer.ReplyBytesSeen));
        Observer.ReplyBytesSeen = available;
    }
    const std::vector<std::string> lines = ReadWholeLines(Observer.LogPath);
    std::vector<std::string> notices;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(notices),
                 [](const std::string& line) { return line.rfind("Notice ", 0) == 0; });
    for (size_t i = Observer.NoticesSeen; i < notices.size(); ++i)
    {
        Observer.Calls.push_back(notices[i]);
    }
    Observer.NoticesSeen = notices.size();
}

double ObservedNow()
{
    Observer.Calls.push_back("now");
    return Observer.Now;
}

void ObservedSleep(uint32_t milliseconds)
{
    RecordWhatHappened();
    Observer.Calls.push_back("sleep " + std::to_string(milliseconds));
    if (++Observer.Sleeps > RunawaySleeps)
    {
        Observer.Now = 1e9;
        return;
    }
    // Each cycle begins with its first sleep; the parent acts while the bridge sleeps.
    if (milliseconds == 50)
    {
        ++Observer.Cycle;
        const auto clock = Observer.ClockAt.find(Observer.Cycle);
        if (clock != Observer.ClockAt.end())
        {
            Observer.Now = clock->second;
        }
        const auto write = Observer.WritesAt.find(Observer.Cycle);
        if (write != Observer.WritesAt.end())
        {
            DWORD written = 0;
            WriteFile(Observer.ToBridge, write->second.data(), static_cast<DWORD>(write->second.size()),
                      &written, nullptr);
        }
    }
}

std::vector<uint8_t> Authenticate(uint64_t steamId, uint32_t verdictDelay)
{
    FStandInTicket ticket;
    ticket.SteamId = steamId;
    ticket.VerdictDelay = verdictDelay;
    const std::vector<uint8_t> bytes = EncodeStandInTicket(ticket);
    return Concat({LE32(0), LE32(ClientAddress), LE32(static_cast<uint32_t>(bytes.size())), bytes});
}

std::string Approved(uint64_t steamId)
{
    return "Notice callback=201 steamid=" + std::to_string(steamId) + " reason=0";
}

struct FObservedRun
{
    int ExitCode = -1;
    std::vector<std::string> Log;
    std::vector<uint8_t> Replies;
};

// Runs the loop on the observer's clock with pipes of the test's own on its standard streams. A
// parent that has stopped reading has closed its end of the reply pipe before the loop starts.
FObservedRun RunObservedBridge(bool parentReads)
{
    FObservedRun run;
    HANDLE inputRead = nullptr;
    HANDLE outputWrite = nullptr;
    if (!CreatePipe(&inputRead, &Observer.ToBridge, nullptr, 0) ||
        !CreatePipe(&Observer.FromBridge, &outputWrite, nullptr, 0))
    {
        ADD_FAILURE() << "no pipes";
        return run;
    }
    if (!parentReads)
    {
        CloseHandle(Observer.FromBridge);
        Observer.FromBridge = nullptr;
    }
    Observer.LogPath = UniqueTempPath(L"karveth-cycle", L".log");
    SetEnvironmentVariableW(L"STEAM_STANDIN_LOG", Observer.LogPath.c_str());
    HANDLE savedInput = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE savedOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_INPUT_HANDLE, inputRead);
    SetStdHandle(STD_OUTPUT_HANDLE, outputWrite);

    run.ExitCode = RunBridge(FBridgeTime{ObservedNow, ObservedSleep});

    SetStdHandle(STD_INPUT_HANDLE, savedInput);
    SetStdHandle(STD_OUTPUT_HANDLE, savedOutput);
    SetEnvironmentVariableW(L"STEAM_STANDIN_LOG", nullptr);
    run.Log = ReadWholeLines(Observer.LogPath);
    DeleteFileW(Observer.LogPath.c_str());
    run.Replies.resize(Observer.ReplyBytesSeen);
    DWORD read = 0;
    if (!run.Replies.empty())
    {
        ReadFile(Observer.FromBridge, run.Replies.data(), static_cast<DWORD>(run.Replies.size()), &read,
                 nullptr);
    }
    for (HANDLE handle : {inputRead, outputWrite, Observer.ToBridge, Observer.FromBridge})
    {
        if (handle != nullptr)
        {
            CloseHandle(handle);
        }
    }
    return run;
}
} // namespace

// Sleep 50 ms, look at the input, serve at most one request or else check the idle time, let Steam
// dispatch once, sleep 10 ms. The idle limit ends the loop only when more than 900.0 seconds have
// passed since the last request: at exactly 900.0 it goes on.
TEST(BridgeCycle, SleepPeekOneRequestOrIdleCheckDispatchSleepInThatOrder)
{
    Observer = FCycleObserver();
    // A written while the bridge sleeps at the start of cycle 2, together with B: A in cycle 2, B only
    // in cycle 3. A's approve comes with cycle 2's dispatch, B's (two dispatches late) with cycle 5's.
    Observer.WritesAt[2] = Concat({Authenticate(UserA, 0), Authenticate(UserB, 2)});
    constexpr double LastRequestAt = 100.0;
    Observer.ClockAt = {{1, 0.5},
                        {2, 10.0},
                        {3, LastRequestAt},
                        {4, 500.0},
                        {5, 999.5},
                        {6, LastRequestAt + IdleTimeoutSeconds},
                        {7, std::nextafter(LastRequestAt + IdleTimeoutSeconds, 2000.0)}};

    const FObservedRun run = RunObservedBridge(true);

    EXPECT_EQ(run.ExitCode, 0);
    const std::vector<std::string> expected = {
        "now", // the start of the idle time
        // 1: nothing written
        "sleep 50", "now", "sleep 10",
        // 2: A served, then Steam's dispatch delivers its approve
        "sleep 50", "now", "reply 12", Approved(UserA), "sleep 10",
        // 3: B served
        "sleep 50", "now", "reply 12", "sleep 10",
        // 4, 5: idle checks; B's approve with the third dispatch after its call
        "sleep 50", "now", "sleep 10", "sleep 50", "now", Approved(UserB), "sleep 10",
        // 6: exactly 900.0 seconds after B: goes on
        "sleep 50", "now", "sleep 10",
        // 7: just over: the last dispatch and sleep, then the loop ends
        "sleep 50", "now", "sleep 10"};
    EXPECT_EQ(Observer.Calls, expected);
    EXPECT_EQ(Hex(run.Replies), "01000000" + Hex(LE64(UserA)) + "01000000" + Hex(LE64(UserB)));
    ASSERT_FALSE(run.Log.empty());
    EXPECT_EQ(run.Log.back(), "Shutdown");
}

// A reply that cannot be written is dropped; the bridge stays in step with its input and goes on.
TEST(BridgeCycle, ReplyToAParentThatStoppedReadingIsDroppedAndTheNextRequestServed)
{
    Observer = FCycleObserver();
    Observer.WritesAt[1] = Authenticate(UserA, 0);
    Observer.WritesAt[2] = Authenticate(UserB, 0);
    Observer.ClockAt = {{1, 1.0}, {2, 2.0}, {3, 2.0 + IdleTimeoutSeconds + 1.0}};

    const FObservedRun run = RunObservedBridge(false);

    EXPECT_EQ(run.ExitCode, 0);
    std::vector<std::string> steamCalls;
    for (const std::string& line : run.Log)
    {
        if (line.rfind("Authenticate ", 0) == 0 || line.rfind("Notice ", 0) == 0)
        {
            steamCalls.push_back(line.substr(0, line.find(" ticket=")));
        }
    }
    EXPECT_EQ(steamCalls,
              (std::vector<std::string>{"Authenticate ip=0xc0a80117 length=32", Approved(UserA),
                                        "Authenticate ip=0xc0a80117 length=32", Approved(UserB)}));
    ASSERT_FALSE(run.Log.empty());
    EXPECT_EQ(run.Log.back(), "Shutdown");
}

// Another game server holds Steam's port, so the bridge's Steam never starts: every ticket is refused
// with no Steam ID, without a call into Steam.
TEST(BridgeCycle, WithoutSteamATicketIsRefusedWithNoSteamId)
{
    Observer = FCycleObserver();
    const std::wstring prefix = L"karveth-cycle-port-" + std::to_wstring(GetCurrentProcessId());
    HANDLE otherServer = CreateMutexW(nullptr, FALSE, (prefix + L"-8767").c_str());
    ASSERT_NE(otherServer, nullptr);
    SetEnvironmentVariableW(L"STEAM_STANDIN_PORT_OBJECT", prefix.c_str());
    Observer.WritesAt[1] = Authenticate(UserA, 0);
    Observer.ClockAt = {{1, 1.0}, {2, 1.0 + IdleTimeoutSeconds + 1.0}};

    const FObservedRun run = RunObservedBridge(true);

    SetEnvironmentVariableW(L"STEAM_STANDIN_PORT_OBJECT", nullptr);
    CloseHandle(otherServer);
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_EQ(Hex(run.Replies), "000000000000000000000000");
    ASSERT_FALSE(run.Log.empty());
    EXPECT_EQ(run.Log.front().substr(run.Log.front().find(" result=")), " result=0 port=held");
    EXPECT_TRUE(std::none_of(run.Log.begin(), run.Log.end(),
                             [](const std::string& line) { return line.rfind("Authenticate ", 0) == 0; }));
}
