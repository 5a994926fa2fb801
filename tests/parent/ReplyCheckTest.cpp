// Any bytes from the bridge are safe: a test-side bridge (scripted_bridge.exe) answers with poll
// counts beyond the limit, replies cut in every field, and replies that never finish.
#include "BridgeParent.h"
#include "TestFiles.h"
#include "WireBytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
// What the scripted bridge ends with after a cut reply (exit:2a).
constexpr uint32_t ExitStatus = 0x2A;
constexpr DWORD ShortTimeoutMs = 300;
// Far above what 16 MiB through a pipe takes, also in the 32-bit lane.
constexpr DWORD LargeReplyTimeoutMs = 60000;
constexpr uint64_t FirstEvent = 76561197960287930ull;
// A whole Authenticate reply and a whole poll reply of two events, as the bridge writes them.
const char* const WholeAuthenticateReply = "01000000ba56000001001001";
const char* const WholePollReply = "02000000"
                                   "ba56000001001001 00000000 ffffffff"
                                   "bb56000001001001 01000000 02000000";

void StartScripted(FBridgeParent& bridge, const std::string& steps)
{
    const FBridgeResult started =
        bridge.Start(ProgramFolder() + L"\\scripted_bridge.exe", L"",
                     {L"SCRIPTED_BRIDGE_STEPS=" + std::wstring(steps.begin(), steps.end())});
    ASSERT_TRUE(started) << started.Message();
}

// Waits on the handle, as a loop would, until this many bytes have arrived or the time is up.
DWORD WaitForBytes(FBridgeParent& bridge, DWORD count)
{
    const ULONGLONG deadline = GetTickCount64() + DefaultReplyTimeoutMs;
    while (bridge.BytesWaiting() < count && GetTickCount64() < deadline)
    {
        WaitForSingleObject(bridge.WaitHandle(), 100);
    }
    return bridge.BytesWaiting();
}

std::string LE32Hex(uint32_t value)
{
    return Hex(LE32(value));
}
} // namespace

TEST(BridgeParentReplyCheck, APollCountBeyondTheLimitIsRefusedAndItsBytesStayReadable)
{
    const struct
    {
        const char* Name;
        uint32_t Count;
    } cases[] = {
        // 4 + 2^28 * 16 wraps to 4 in 32 bits.
        {"2^28", 0x10000000u},
        {"2^32 - 1", 0xFFFFFFFFu},
        {"one above the limit", MaxPollEvents + 1},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Name);
        FBridgeParent bridge;
        // The count and the first 4 bytes of what would be an event, in one write.
        const std::string bytes = LE32Hex(c.Count) + "ba560000";
        StartScripted(bridge, "read hex:" + bytes);
        ASSERT_TRUE(bridge.SendPollEvents());
        ASSERT_EQ(WaitForBytes(bridge, 8), 8u);
        EXPECT_TRUE(bridge.ReplyReady()) << "a refused reply is ready, so that the read says so at once";

        std::vector<FBridgeEvent> events(1);
        for (int read = 0; read < 2; ++read)
        {
            const FBridgeResult result = bridge.ReadPollReply(events, 0);
            EXPECT_EQ(result.Error, EBridgeError::TooManyEvents);
            EXPECT_EQ(result.EventCount, c.Count);
            EXPECT_EQ(result.Message(), "a poll reply announced " + std::to_string(c.Count) +
                                            " events, more than the 1048576 a reply may hold: the program "
                                            "answering is not authbridge or not in step with the requests "
                                            "(8 bytes received are left unread)");
        }
        EXPECT_EQ(events.size(), 1u) << "the caller's events were changed";
        EXPECT_EQ(bridge.OwedReplies(), 1u);
        EXPECT_TRUE(bridge.ReplyReady());
        std::vector<uint8_t> raw(8);
        ASSERT_TRUE(bridge.ReadExact(raw.data(), raw.size(), 0));
        EXPECT_EQ(Hex(raw), bytes);
    }
}

TEST(BridgeParentReplyCheck, APollReplyOfExactlyTheLimitIsReadWhole)
{
    FBridgeParent bridge;
    StartScripted(bridge, "read hex:" + LE32Hex(MaxPollEvents) + " events:" + std::to_string(MaxPollEvents));
    std::vector<FBridgeEvent> events;
    const FBridgeResult result = bridge.PollEvents(events, LargeReplyTimeoutMs);
    ASSERT_TRUE(result) << result.Message();
    ASSERT_EQ(events.size(), MaxPollEvents);
    const struct
    {
        uint32_t Index;
        EParentEventType Type;
    } samples[] = {{0, EParentEventType::Approve},
                   {1, EParentEventType::Deny},
                   {2, EParentEventType::Kick},
                   {MaxPollEvents - 1, EParentEventType::Approve}};
    for (const auto& sample : samples)
    {
        const FBridgeEvent& event = events[sample.Index];
        EXPECT_EQ(event.SteamId, FirstEvent + sample.Index) << sample.Index;
        EXPECT_EQ(event.Type, sample.Type) << sample.Index;
        EXPECT_EQ(event.Reason, static_cast<int32_t>(sample.Index)) << sample.Index;
    }
    EXPECT_EQ(bridge.BytesWaiting(), 0u);
}

TEST(BridgeParentReplyCheck, AReplyCutInAnyFieldIsAShortReplyOfExactlyTheBytesThatCame)
{
    enum class ERead
    {
        Authenticate,
        Poll,
    };
    const struct
    {
        const char* Name;
        ERead Read;
        size_t Cut;
        uint32_t Expected;
    } cases[] = {
        {"authenticate, nothing", ERead::Authenticate, 0, 12},
        {"authenticate, in the result", ERead::Authenticate, 2, 12},
        {"authenticate, after the result", ERead::Authenticate, 4, 12},
        {"authenticate, in the Steam ID", ERead::Authenticate, 7, 12},
        {"authenticate, one byte short", ERead::Authenticate, 11, 12},
        {"authenticate, whole", ERead::Authenticate, 12, 12},
        {"poll, nothing", ERead::Poll, 0, 4},
        {"poll, in the count", ERead::Poll, 2, 4},
        {"poll, one byte short of the count", ERead::Poll, 3, 4},
        {"poll, the count alone", ERead::Poll, 4, 36},
        {"poll, in the first Steam ID", ERead::Poll, 9, 36},
        {"poll, in the first type", ERead::Poll, 14, 36},
        {"poll, in the first reason", ERead::Poll, 18, 36},
        {"poll, between the events", ERead::Poll, 20, 36},
        {"poll, in the second Steam ID", ERead::Poll, 23, 36},
        {"poll, one byte short", ERead::Poll, 35, 36},
        {"poll, whole", ERead::Poll, 36, 36},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Name);
        const std::vector<uint8_t> whole =
            FromHex(c.Read == ERead::Authenticate ? WholeAuthenticateReply : WholePollReply);
        const std::vector<uint8_t> sent(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(c.Cut));
        FBridgeParent bridge;
        StartScripted(bridge, "read hex:" + Hex(sent) + " exit:2a");
        FBridgeResult result;
        FAuthenticateReply reply;
        std::vector<FBridgeEvent> events;
        if (c.Read == ERead::Authenticate)
        {
            result = bridge.Authenticate(0, {}, reply);
        }
        else
        {
            result = bridge.PollEvents(events);
        }
        if (c.Cut == whole.size())
        {
            ASSERT_TRUE(result) << result.Message();
            EXPECT_EQ(c.Read == ERead::Authenticate ? reply.SteamId : events[1].SteamId,
                      c.Read == ERead::Authenticate ? FirstEvent : FirstEvent + 1);
            continue;
        }
        EXPECT_EQ(result.Error, c.Cut == 0 ? EBridgeError::BridgeGone : EBridgeError::ShortReply)
            << result.Message();
        EXPECT_EQ(result.BytesReceived, c.Cut);
        EXPECT_EQ(result.BytesExpected, c.Expected);
        EXPECT_TRUE(result.ExitCodeKnown);
        EXPECT_EQ(result.ExitCode, ExitStatus);
        EXPECT_TRUE(events.empty());
    }
}

TEST(BridgeParentReplyCheck, APollCountLargerThanWhatFollowsWaitsForTheRestAndLosesNothing)
{
    FBridgeParent bridge;
    // Three events announced, two sent; the bridge then waits.
    StartScripted(bridge, "read hex:03000000 events:2");
    ASSERT_TRUE(bridge.SendPollEvents());
    ASSERT_EQ(WaitForBytes(bridge, 36), 36u);
    EXPECT_FALSE(bridge.ReplyReady()) << "36 of 52 bytes are not a reply";
    std::vector<FBridgeEvent> events;
    const FBridgeResult result = bridge.ReadPollReply(events, ShortTimeoutMs);
    EXPECT_EQ(result.Error, EBridgeError::TimedOut);
    EXPECT_EQ(result.Message(),
              "no complete reply within 300 ms (36 of 52 bytes arrived); the bridge still runs");
    EXPECT_EQ(bridge.BytesWaiting(), 36u);
    EXPECT_EQ(bridge.OwedReplies(), 1u);
}

TEST(BridgeParentReplyCheck, ReadsWithTimeoutsOfZeroAndOneTimeOutAtOnceAndSaySo)
{
    FBridgeParent bridge;
    StartScripted(bridge, "read");
    ASSERT_TRUE(bridge.SendAuthenticate(0, {}));
    const struct
    {
        DWORD TimeoutMs;
        const char* Message;
    } cases[] = {
        {0, "no complete reply within 0 ms (0 of 12 bytes arrived); the bridge still runs"},
        {1, "no complete reply within 1 ms (0 of 12 bytes arrived); the bridge still runs"},
    };
    for (const auto& c : cases)
    {
        FAuthenticateReply reply;
        const FBridgeResult result = bridge.ReadAuthenticateReply(reply, c.TimeoutMs);
        EXPECT_EQ(result.Error, EBridgeError::TimedOut);
        EXPECT_EQ(result.TimeoutMs, c.TimeoutMs);
        EXPECT_EQ(result.Message(), c.Message);
    }
    uint8_t byte = 0;
    EXPECT_EQ(bridge.ReadExact(&byte, 1, 0).Error, EBridgeError::TimedOut);
    EXPECT_TRUE(bridge.ReadExact(&byte, 0, 0)) << "nothing to read is read at once";
}

TEST(BridgeParentReplyCheck, AWaitThatFailsEndsTheReadWithTheWindowsError)
{
    FBridgeParent bridge;
    StartScripted(bridge, "read");
    ASSERT_TRUE(bridge.SendAuthenticate(0, {}));
    HANDLE process = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), bridge.Process(), GetCurrentProcess(), &process, 0,
                                FALSE, DUPLICATE_SAME_ACCESS));
    // Behind the library's back, so that its wait on the process fails.
    CloseHandle(bridge.Process());
    FAuthenticateReply reply;
    const FBridgeResult result = bridge.ReadAuthenticateReply(reply, DefaultReplyTimeoutMs);
    EXPECT_EQ(result.Error, EBridgeError::WaitFailed);
    EXPECT_EQ(result.SystemError, static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(result.Message().rfind("waiting for the bridge failed: ", 0), 0u) << result.Message();
    EXPECT_NE(result.Message().find("(error 6) (0 of 12 bytes arrived)"), std::string::npos)
        << result.Message();
    TerminateProcess(process, 1);
    WaitForSingleObject(process, DefaultReplyTimeoutMs);
    CloseHandle(process);
}
