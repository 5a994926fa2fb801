// A game server's loop against the real bridge: requests sent without waiting, replies read only
// once they are ready, the library's wait handle waited on together with the loop's own messages.
#include "BridgeTestSupport.h"
#include "StandInTicket.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>

namespace
{
constexpr int Players = 20;
constexpr int PlayersJoiningPerTick = 2;
constexpr DWORD TickMs = 33;
// A poll every this many ticks, as long as the previous one has been answered.
constexpr int PollEveryTicks = 5;
// Twenty verdicts take a few seconds at one request per bridge cycle; this is far above.
constexpr DWORD LoopLimitMs = 90000;
// Not a timing requirement: only a tick that blocked on the bridge would come near it.
constexpr double SaneTickMs = 1000.0;
constexpr uint64_t FirstUser = 76561197960287930ull;
constexpr uint32_t ClientAddress = 0xC0A80117;
constexpr int32_t DenyReason = 2;
constexpr int PollRequest = -1;

double NowMs()
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Every third player is denied; verdicts come one to three dispatches after the request.
FStandInTicket PlayerTicket(int player)
{
    const bool denied = player % 3 == 2;
    return FStandInTicket{FirstUser + static_cast<uint64_t>(player),
                          denied ? EStandInVerdict::Deny : EStandInVerdict::Approve,
                          denied ? DenyReason : 0,
                          static_cast<uint32_t>(1 + player % 3),
                          0,
                          0};
}

double Percentile(std::vector<double> samples, double fraction)
{
    std::sort(samples.begin(), samples.end());
    return samples[static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1))];
}
} // namespace

TEST_F(FBridgeProcessTest, AGameLoopTickingEvery33MsAuthenticatesTwentyPlayersAndPollsTheirVerdicts)
{
    StartBridge();
    const FBridgeResult serving = Bridge.CheckServing();
    ASSERT_TRUE(serving) << serving.Message();

    // What the loop has asked for, oldest first: a player's Authenticate or a poll.
    std::deque<int> asked;
    std::map<uint64_t, FBridgeEvent> verdicts;
    int joined = 0;
    int accepted = 0;
    int wakeUps = 0;
    std::vector<double> libraryMsPerTick;
    const double loopStart = NowMs();

    // Reads every reply that is ready; none of these calls waits.
    auto readReadyReplies = [&]
    {
        while (Bridge.ReplyReady())
        {
            ASSERT_FALSE(asked.empty());
            const int request = asked.front();
            asked.pop_front();
            if (request == PollRequest)
            {
                std::vector<FBridgeEvent> events;
                const FBridgeResult read = Bridge.ReadPollReply(events, 0);
                ASSERT_TRUE(read) << read.Message();
                for (const FBridgeEvent& event : events)
                {
                    verdicts[event.SteamId] = event;
                }
            }
            else
            {
                FAuthenticateReply reply;
                const FBridgeResult read = Bridge.ReadAuthenticateReply(reply, 0);
                ASSERT_TRUE(read) << read.Message();
                EXPECT_EQ(reply.Result, 1u);
                EXPECT_EQ(reply.SteamId, FirstUser + static_cast<uint64_t>(request));
                ++accepted;
            }
        }
    };

    for (int tick = 0; verdicts.size() < static_cast<size_t>(Players); ++tick)
    {
        ASSERT_LT(NowMs() - loopStart, LoopLimitMs) << verdicts.size() << " verdicts";
        const double tickStart = NowMs();
        double inLibrary = 0.0;

        double callStart = NowMs();
        for (int i = 0; i < PlayersJoiningPerTick && joined < Players; ++i, ++joined)
        {
            ASSERT_TRUE(Bridge.SendAuthenticate(ClientAddress, EncodeStandInTicket(PlayerTicket(joined))));
            asked.push_back(joined);
        }
        if (tick % PollEveryTicks == 0 && std::find(asked.begin(), asked.end(), PollRequest) == asked.end())
        {
            ASSERT_TRUE(Bridge.SendPollEvents());
            asked.push_back(PollRequest);
        }
        readReadyReplies();
        inLibrary += NowMs() - callStart;

        // The rest of the tick: asleep until it ends, woken early by the bridge's bytes.
        for (;;)
        {
            const double left = tickStart + TickMs - NowMs();
            if (left <= 0)
            {
                break;
            }
            HANDLE handle = Bridge.WaitHandle();
            const DWORD woken =
                MsgWaitForMultipleObjects(1, &handle, FALSE, static_cast<DWORD>(left) + 1, QS_ALLINPUT);
            if (woken != WAIT_OBJECT_0)
            {
                continue;
            }
            ++wakeUps;
            callStart = NowMs();
            readReadyReplies();
            inLibrary += NowMs() - callStart;
        }
        libraryMsPerTick.push_back(inLibrary);
    }

    EXPECT_EQ(accepted, Players);
    for (int player = 0; player < Players; ++player)
    {
        const FStandInTicket ticket = PlayerTicket(player);
        const FBridgeEvent& event = verdicts[ticket.SteamId];
        const bool denied = ticket.Verdict == EStandInVerdict::Deny;
        EXPECT_EQ(event.Type, denied ? EParentEventType::Deny : EParentEventType::Approve) << player;
        EXPECT_EQ(event.Reason, denied ? DenyReason : -1) << player;
    }
    EXPECT_GT(wakeUps, 0) << "the wait handle never woke the loop";
    const double most = *std::max_element(libraryMsPerTick.begin(), libraryMsPerTick.end());
    std::printf("%zu ticks of %lu ms for %d players (%.0f ms); time in the library per tick: median %.3f ms, "
                "p99 %.3f ms, max %.3f ms; woken by the wait handle %d times\n",
                libraryMsPerTick.size(), static_cast<unsigned long>(TickMs), Players, NowMs() - loopStart,
                Percentile(libraryMsPerTick, 0.5), Percentile(libraryMsPerTick, 0.99), most, wakeUps);
    EXPECT_LT(most, SaneTickMs) << "a tick blocked on the bridge";
}

namespace
{
// Waits on the handle, as a loop would, until the bytes waiting reach the count or the time is up.
DWORD WaitForBytes(FBridgeParent& bridge, DWORD count)
{
    const ULONGLONG deadline = GetTickCount64() + DefaultReplyTimeoutMs;
    while (bridge.BytesWaiting() < count && GetTickCount64() < deadline)
    {
        WaitForSingleObject(bridge.WaitHandle(), 100);
    }
    return bridge.BytesWaiting();
}

// Asks each tick, as a loop would, until the oldest owed reply is ready or the time is up.
bool WaitUntilReplyReady(FBridgeParent& bridge)
{
    const ULONGLONG deadline = GetTickCount64() + DefaultReplyTimeoutMs;
    while (!bridge.ReplyReady() && GetTickCount64() < deadline)
    {
        Sleep(20);
    }
    return bridge.ReplyReady();
}
} // namespace

TEST_F(FBridgeProcessTest, AReplyIsReadyOnlyOnceWholeAndTheWaitHandleWakesTheWaiter)
{
    constexpr DWORD PollReplyWithOneEvent = 20;
    StartBridge(L"reply_cutter.exe");
    EXPECT_FALSE(Bridge.ReplyReady()) << "no reply is owed";
    ASSERT_NE(Bridge.WaitHandle(), nullptr);

    // For each 4 bytes the cutter writes a piece: 5 bytes, then 7. Taken as a poll's reply, the
    // first four say one event, 20 bytes in all.
    ASSERT_TRUE(Bridge.SendPollEvents());
    EXPECT_EQ(WaitForSingleObject(Bridge.WaitHandle(), DefaultReplyTimeoutMs),
              static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForBytes(Bridge, 5), 5u);
    EXPECT_FALSE(Bridge.ReplyReady()) << "5 of 20 bytes are not a reply";
    std::vector<FBridgeEvent> events;
    EXPECT_EQ(Bridge.ReadPollReply(events, 0).Error, EBridgeError::TimedOut);
    EXPECT_EQ(Bridge.OwedReplies(), 1u);

    ASSERT_TRUE(Bridge.Write(LE32(9)));
    EXPECT_EQ(WaitForSingleObject(Bridge.WaitHandle(), DefaultReplyTimeoutMs),
              static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForBytes(Bridge, 12), 12u);
    EXPECT_FALSE(Bridge.ReplyReady()) << "12 of 20 bytes are not a reply";

    // No more bytes will come once the writer has gone: ready, and the read says why.
    ASSERT_TRUE(TerminateProcess(Bridge.Process(), 1));
    EXPECT_EQ(WaitForSingleObject(Bridge.WaitHandle(), DefaultReplyTimeoutMs),
              static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(WaitUntilReplyReady(Bridge));
    const FBridgeResult read = Bridge.ReadPollReply(events, 0);
    EXPECT_EQ(read.Error, EBridgeError::ShortReply);
    EXPECT_EQ(read.BytesReceived, 12u);
    EXPECT_EQ(read.BytesExpected, PollReplyWithOneEvent);
}

TEST_F(FBridgeProcessTest, AGoneBridgeMakesTheReplyReadyTheHandleSignalledAndItsIdZero)
{
    constexpr UINT ExitCode = 0x2B;
    StartBridge();
    ASSERT_TRUE(Bridge.IsRunning());
    EXPECT_NE(Bridge.ProcessId(), 0u);
    ASSERT_TRUE(Bridge.SendAuthenticate(ClientAddress, {}));
    ASSERT_TRUE(TerminateProcess(Bridge.Process(), ExitCode));
    // The pipe breaks with the process, which wakes a waiter; the read then says why at once.
    EXPECT_EQ(WaitForSingleObject(Bridge.WaitHandle(), DefaultReplyTimeoutMs),
              static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(WaitUntilReplyReady(Bridge));
    FAuthenticateReply reply;
    const FBridgeResult read = Bridge.ReadAuthenticateReply(reply, 0);
    EXPECT_EQ(read.Error, EBridgeError::BridgeGone);
    EXPECT_EQ(read.ExitCode, ExitCode);
    EXPECT_FALSE(Bridge.IsRunning());
    EXPECT_EQ(Bridge.ProcessId(), 0u);
    EXPECT_EQ(WaitForSingleObject(Bridge.WaitHandle(), 0), static_cast<DWORD>(WAIT_OBJECT_0))
        << "the handle of a gone bridge stays signalled";
}
