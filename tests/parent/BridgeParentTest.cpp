// The parent-side library against the real authbridge.exe: its replies decoded, every failure
// with its reason, the handles the bridge inherits, and what a restart leaves behind.
#include "BridgeTestSupport.h"
#include "PlainChild.h"
#include "StandInTicket.h"

#include <set>

namespace
{
constexpr uint64_t User = 76561197960287930ull;
constexpr uint32_t ClientAddress = 0xC0A80117;
// Far above the one cycle (about 60 ms) a reply needs, yet short enough to wait out in a test.
constexpr DWORD ShortTimeoutMs = 400;
constexpr DWORD StatusDllNotFound = 0xC0000135;
// Handle values a test process uses stay well below this.
constexpr uintptr_t HighestHandleScanned = 0x10000;

std::vector<uint8_t> ApproveTicket(uint32_t verdictDelay = 0)
{
    return EncodeStandInTicket(FStandInTicket{User, EStandInVerdict::Approve, 0, verdictDelay, 0, 0});
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The open handles of this process, found by asking about every handle value (Wine's handle count
// is always 0); with inheritableOnly, those that any child started with inheritance would receive.
std::set<uintptr_t> OpenHandles(bool inheritableOnly)
{
    std::set<uintptr_t> handles;
    for (uintptr_t value = 4; value < HighestHandleScanned; value += 4)
    {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) &&
            (!inheritableOnly || (flags & HANDLE_FLAG_INHERIT) != 0))
        {
            handles.insert(value);
        }
    }
    return handles;
}

std::set<uintptr_t> InheritableHandles()
{
    return OpenHandles(true);
}

// True when the child holds the given handle of ours: inherited handles keep their value, so the
// child's handle of that value is duplicated back and signalled, and our event shows it.
bool ChildHoldsEvent(HANDLE child, HANDLE event)
{
    ResetEvent(event);
    HANDLE copy = nullptr;
    if (!DuplicateHandle(child, event, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
    {
        return false;
    }
    SetEvent(copy);
    CloseHandle(copy);
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

std::wstring ProgramPath(const wchar_t* name)
{
    return ProgramFolder() + L"\\" + name;
}

// The test's paths are ASCII.
std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}
} // namespace

TEST_F(FBridgeProcessTest, RequestsAndRepliesDecodedAndRepliesCountedUntilRead)
{
    StartBridge();
    FAuthenticateReply reply;
    ASSERT_TRUE(Bridge.Authenticate(ClientAddress, ApproveTicket(), reply));
    EXPECT_EQ(reply.Result, 1u);
    EXPECT_EQ(reply.SteamId, User);

    // Two requests before their replies: a request-and-reply call now would read the wrong reply.
    ASSERT_TRUE(Bridge.SendPollEvents());
    ASSERT_TRUE(Bridge.SendAuthenticate(ClientAddress, {'n', 'o'}));
    EXPECT_EQ(Bridge.OwedReplies(), 2u);
    std::vector<FBridgeEvent> events;
    const FBridgeResult refused = Bridge.PollEvents(events);
    EXPECT_EQ(refused.Error, EBridgeError::RepliesOwed);
    EXPECT_EQ(refused.Message(),
              "2 replies to earlier requests have not been read; read them before a new request");

    ASSERT_TRUE(Bridge.ReadPollReply(events));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].SteamId, User);
    EXPECT_EQ(events[0].Type, EParentEventType::Approve);
    EXPECT_EQ(events[0].Reason, -1);
    ASSERT_TRUE(Bridge.ReadAuthenticateReply(reply));
    EXPECT_EQ(reply.Result, 0u);
    EXPECT_EQ(reply.SteamId, 0u);
    EXPECT_EQ(Bridge.OwedReplies(), 0u);
    EXPECT_TRUE(Bridge.PollEvents(events));
}

TEST(BridgeParentFailure, NoBridgeBeforeStartAfterKillAndAfterClosingItsInput)
{
    FBridgeParent bridge;
    FAuthenticateReply reply;
    std::vector<FBridgeEvent> events;
    uint8_t byte = 0;
    EXPECT_EQ(bridge.Authenticate(ClientAddress, ApproveTicket(), reply).Error, EBridgeError::NotStarted);
    EXPECT_EQ(bridge.PollEvents(events).Error, EBridgeError::NotStarted);
    EXPECT_EQ(bridge.ReadExact(&byte, 1, 0).Error, EBridgeError::NotStarted);
    EXPECT_TRUE(Contains(bridge.PollEvents(events).Message(), "the bridge is not running"));

    ASSERT_TRUE(bridge.Start(ProgramPath(L"authbridge.exe")));
    bridge.CloseInput();
    EXPECT_EQ(bridge.SendPollEvents().Error, EBridgeError::NotStarted);
    bridge.Kill();
    EXPECT_EQ(bridge.ReadAuthenticateReply(reply, 0).Error, EBridgeError::NotStarted);
    EXPECT_EQ(bridge.Process(), nullptr);
    EXPECT_EQ(bridge.ProcessId(), 0u);
}

TEST(BridgeParentFailure, AFailedStartSaysWhyAndLeavesNothingOpen)
{
    FBridgeParent bridge;
    const std::wstring missing = ProgramFolder() + L"\\no-such-folder\\authbridge.exe";
    ASSERT_FALSE(bridge.Start(missing));
    const std::set<uintptr_t> before = OpenHandles(false);
    ASSERT_FALSE(before.empty());
    const std::set<uintptr_t> inheritable = InheritableHandles();
    for (int round = 0; round < 5; ++round)
    {
        const FBridgeResult result = bridge.Start(missing);
        EXPECT_EQ(result.Error, EBridgeError::StartFailed);
        EXPECT_EQ(result.SystemError, static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));
        EXPECT_TRUE(Contains(result.Message(), "cannot start the bridge \"" + Narrow(missing) +
                                                   "\" in this process's working directory: "))
            << result.Message();
        EXPECT_TRUE(Contains(result.Message(), "(error " + std::to_string(result.SystemError) + ")"))
            << result.Message();
    }
    EXPECT_EQ(OpenHandles(false), before);
    EXPECT_EQ(InheritableHandles(), inheritable);
    std::vector<FBridgeEvent> events;
    EXPECT_EQ(bridge.PollEvents(events).Error, EBridgeError::NotStarted);

    // The Windows error is that of the call that failed, whatever ran after it.
    const FBridgeResult noProgram = bridge.Start(ProgramPath(L"no-such-program.exe"));
    EXPECT_EQ(noProgram.Error, EBridgeError::StartFailed);
    EXPECT_EQ(noProgram.SystemError, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND)) << noProgram.Message();

    // The program exists but the working directory does not: the text names both.
    const std::wstring folder = ProgramFolder() + L"\\no-such-folder";
    const FBridgeResult result = bridge.Start(ProgramPath(L"authbridge.exe"), folder);
    EXPECT_EQ(result.Error, EBridgeError::StartFailed);
    EXPECT_EQ(result.SystemError, static_cast<uint32_t>(ERROR_DIRECTORY));
    EXPECT_TRUE(Contains(result.Message(), "cannot start the bridge \"" +
                                               Narrow(ProgramPath(L"authbridge.exe")) + "\" in \"" +
                                               Narrow(folder) + "\": "))
        << result.Message();
    std::printf("%s\n", result.Message().c_str());
}

TEST(BridgeParentFailure, ABridgeWithoutSteamApiDllIsGoneWithItsExitStatusAndAPlainMessage)
{
    FBridgeParent bridge;
    // A copy of the bridge in a folder of its own, without steam_api.dll.
    const FBridgeResult started = bridge.Start(ProgramPath(L"nosteam\\authbridge.exe"));
    ASSERT_TRUE(started) << started.Message();
    FAuthenticateReply reply;
    const FBridgeResult result = bridge.Authenticate(ClientAddress, ApproveTicket(), reply);
    EXPECT_EQ(result.Error, EBridgeError::BridgeGone) << result.Message();
    EXPECT_TRUE(result.ExitCodeKnown);
    EXPECT_EQ(result.ExitCode, StatusDllNotFound);
    EXPECT_EQ(result.Message(),
              "the bridge has ended with exit status 0xC0000135: a DLL it needs was not found; "
              "put steam_api.dll beside authbridge.exe");
    // It stays gone, with the same reason, for every later call.
    std::vector<FBridgeEvent> events;
    EXPECT_EQ(bridge.PollEvents(events).ExitCode, StatusDllNotFound);
}

TEST_F(FBridgeProcessTest, AReplyThatNeverComesTimesOutWhileTheBridgeRuns)
{
    StartBridge();
    struct
    {
        const char* Name;
        std::vector<uint8_t> Request;
    } const cases[] = {
        // An unknown code gets no reply.
        {"unknown code", LE32(7)},
        // A request cut short keeps the bridge waiting for the rest.
        {"unfinished request", Concat({LE32(0), LE32(ClientAddress)})},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Name);
        ASSERT_TRUE(Bridge.Write(c.Request));
        FAuthenticateReply reply;
        const ULONGLONG start = GetTickCount64();
        const FBridgeResult result = Bridge.ReadAuthenticateReply(reply, ShortTimeoutMs);
        EXPECT_GE(GetTickCount64() - start, ShortTimeoutMs);
        EXPECT_EQ(result.Error, EBridgeError::TimedOut);
        EXPECT_EQ(result.Message(),
                  "no complete reply within 400 ms (0 of 12 bytes arrived); the bridge still runs");
        EXPECT_EQ(WaitForSingleObject(Bridge.Process(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    }
}

TEST_F(FBridgeProcessTest, ABridgeThatHasEndedIsGoneWithItsExitStatus)
{
    constexpr UINT ExitCode = 0x2A;
    StartBridge();
    ASSERT_TRUE(TerminateProcess(Bridge.Process(), ExitCode));
    WaitForSingleObject(Bridge.Process(), 5000);
    FAuthenticateReply reply;
    std::vector<FBridgeEvent> events;
    const FBridgeResult results[] = {Bridge.Authenticate(ClientAddress, ApproveTicket(), reply),
                                     Bridge.PollEvents(events), Bridge.ReadAuthenticateReply(reply)};
    for (const FBridgeResult& result : results)
    {
        EXPECT_EQ(result.Error, EBridgeError::BridgeGone);
        EXPECT_EQ(result.ExitCode, ExitCode);
        EXPECT_EQ(result.Message(), "the bridge has ended with exit status 0x0000002A");
    }
}

TEST_F(FBridgeProcessTest, ABridgeKilledInTheMiddleOfAReplyIsAShortReplyWithItsExitStatus)
{
    constexpr UINT ExitCode = 0xDEAD;
    // A child that writes the first 5 bytes of a reply and then waits, killed before the rest.
    StartBridge(L"reply_cutter.exe");
    ASSERT_TRUE(Bridge.Write(LE32(9)));
    const ULONGLONG deadline = GetTickCount64() + DefaultReplyTimeoutMs;
    while (Bridge.BytesWaiting() < 5 && GetTickCount64() < deadline)
    {
        Sleep(10);
    }
    ASSERT_EQ(Bridge.BytesWaiting(), 5u);
    ASSERT_TRUE(TerminateProcess(Bridge.Process(), ExitCode));

    FAuthenticateReply reply;
    const FBridgeResult result = Bridge.ReadAuthenticateReply(reply);
    EXPECT_EQ(result.Error, EBridgeError::ShortReply);
    EXPECT_EQ(result.BytesReceived, 5u);
    EXPECT_EQ(result.BytesExpected, 12u);
    EXPECT_EQ(result.ExitCode, ExitCode);
    EXPECT_EQ(
        result.Message(),
        "the bridge ended in the middle of a reply (5 of 12 bytes arrived) with exit status 0x0000DEAD");
}

TEST_F(FBridgeProcessTest, ATimedOutReadKeepsItsBytesAndTheNextReadFinishesTheReply)
{
    StartBridge(L"reply_cutter.exe");
    ASSERT_TRUE(Bridge.Write(LE32(9)));
    FAuthenticateReply reply;
    FBridgeResult result = Bridge.ReadAuthenticateReply(reply, ShortTimeoutMs);
    for (int attempt = 0; attempt < 10 && result.BytesReceived < 5; ++attempt)
    {
        result = Bridge.ReadAuthenticateReply(reply, ShortTimeoutMs);
    }
    EXPECT_EQ(result.Error, EBridgeError::TimedOut);
    EXPECT_EQ(result.BytesReceived, 5u);
    EXPECT_EQ(result.Message(),
              "no complete reply within 400 ms (5 of 12 bytes arrived); the bridge still runs");

    ASSERT_TRUE(Bridge.Write(LE32(9)));
    ASSERT_TRUE(Bridge.ReadAuthenticateReply(reply));
    EXPECT_EQ(reply.Result, 1u);
    EXPECT_EQ(reply.SteamId, User);
}

TEST(BridgeParentFailure, ExitStatusesOfCommonStartUpFailuresReadPlainly)
{
    const struct
    {
        uint32_t Status;
        const char* Meaning;
    } cases[] = {
        {0xC0000135, "a DLL it needs was not found; put steam_api.dll beside authbridge.exe"},
        {0xC0000139,
         "a DLL lacks a function it imports; steam_api.dll is not a matching Steam game-server library"},
        {0xC000007B, "a DLL is damaged or of the wrong bitness; the 32-bit authbridge.exe needs the 32-bit "
                     "steam_api.dll"},
        {0xC0000142, "a DLL failed to initialise (steam_api.dll or one it loads)"},
        {0xC0000005, "it crashed (access violation)"},
        {0, "its own exit after 900 s without input, or ended from outside"},
        {1, ""},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(DescribeExitStatus(c.Status), c.Meaning) << std::hex << c.Status;
    }
}

TEST_F(FBridgeProcessTest, TheBridgeInheritsItsPipeEndsAndNothingElse)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetHandleInformation(event, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    // The check works: a child started the ordinary way does hold the event.
    FPlainChild ordinary;
    ASSERT_TRUE(ordinary.Start(L"\"" + ProgramPath(L"reply_cutter.exe") + L"\""));
    EXPECT_TRUE(ChildHoldsEvent(ordinary.Process(), event)) << "an ordinary child did not inherit the event";

    StartBridge();
    std::vector<FBridgeEvent> events;
    ASSERT_TRUE(Bridge.PollEvents(events));
    EXPECT_FALSE(ChildHoldsEvent(Bridge.Process(), event))
        << "the bridge inherited a handle that is not its own";
    CloseHandle(event);
}

TEST_F(FBridgeProcessTest, NothingOfTheLibrarysIsLeftInheritableForAnotherChild)
{
    const std::set<uintptr_t> before = InheritableHandles();
    StartBridge();
    EXPECT_EQ(InheritableHandles(), before) << "Start left a handle inheritable";

    // Another child of the server, started with inheritance while the bridge runs, cannot hold the
    // bridge's input open: the bridge still sees it close in the middle of a request, abandons
    // the request and goes on dispatching (the approve below comes several dispatches later).
    FPlainChild other;
    ASSERT_TRUE(other.Start(L"\"" + ProgramPath(L"reply_cutter.exe") + L"\""));
    FAuthenticateReply reply;
    ASSERT_TRUE(Bridge.Authenticate(ClientAddress, ApproveTicket(8), reply));
    ASSERT_TRUE(Bridge.Write(Concat({LE32(0), LE32(ClientAddress)})));
    Sleep(150);
    Bridge.CloseInput();
    EXPECT_TRUE(WaitForLogLine("Notice callback=201 steamid=76561197960287930", 5000))
        << "the bridge is stuck reading an input that another child holds open";
    Bridge.Kill();
    EXPECT_EQ(InheritableHandles(), before) << "Kill left a handle inheritable";
}

TEST_F(FBridgeProcessTest, StartingAgainEndsTheFormerBridgeAndLeaksNothing)
{
    StartBridge();
    Bridge.Kill();
    const std::set<uintptr_t> before = OpenHandles(false);
    ASSERT_FALSE(before.empty());
    std::vector<HANDLE> former;
    for (int round = 0; round < 4; ++round)
    {
        ASSERT_TRUE(Bridge.Start(ProgramPath(L"authbridge.exe")));
        EXPECT_TRUE(Bridge.IsProtected());
        HANDLE copy = nullptr;
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), Bridge.Process(), GetCurrentProcess(), &copy,
                                    SYNCHRONIZE, FALSE, 0));
        former.push_back(copy);
        std::vector<FBridgeEvent> events;
        ASSERT_TRUE(Bridge.PollEvents(events));
    }
    // Each Start ended the bridge before it; the last one still runs.
    for (size_t i = 0; i + 1 < former.size(); ++i)
    {
        EXPECT_EQ(WaitForSingleObject(former[i], 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "bridge " << i;
    }
    EXPECT_EQ(WaitForSingleObject(former.back(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    Bridge.Kill();
    EXPECT_EQ(WaitForSingleObject(former.back(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    for (HANDLE copy : former)
    {
        CloseHandle(copy);
    }
    EXPECT_EQ(OpenHandles(false), before);
}

TEST(BridgeParentStartUpCheck, ABridgeWithoutSteamApiDllFailsTheCheckWithItsExitStatus)
{
    FBridgeParent bridge;
    ASSERT_TRUE(bridge.Start(ProgramPath(L"nosteam\\authbridge.exe")));
    const FBridgeResult checked = bridge.CheckServing();
    EXPECT_EQ(checked.Error, EBridgeError::BridgeGone) << checked.Message();
    EXPECT_EQ(checked.ExitCode, StatusDllNotFound);
    EXPECT_TRUE(Contains(checked.Message(), "put steam_api.dll beside authbridge.exe")) << checked.Message();
    std::printf("start-up check without steam_api.dll: %s\n", checked.Message().c_str());
}

TEST_F(FBridgeProcessTest, TheStartUpCheckConfirmsAServingBridgeAndItsEventsComeWithTheNextPoll)
{
    StartBridge();
    ASSERT_TRUE(Bridge.CheckServing());
    // A deny due at once comes in the poll that follows its request: here the check's poll.
    const uint64_t denied = User + 1;
    FAuthenticateReply reply;
    ASSERT_TRUE(Bridge.Authenticate(
        ClientAddress, EncodeStandInTicket(FStandInTicket{denied, EStandInVerdict::Deny, 2, 0, 0, 0}),
        reply));
    ASSERT_TRUE(Bridge.Authenticate(ClientAddress, ApproveTicket(), reply));
    ASSERT_TRUE(Bridge.CheckServing());
    ASSERT_TRUE(Bridge.CheckServing());
    EXPECT_TRUE(WaitForLogLine("Notice callback=201 steamid=76561197960287930", 5000));
    ASSERT_TRUE(Bridge.CheckServing());

    // Held by the checks, in the bridge's order, and handed over once.
    std::vector<FBridgeEvent> events;
    ASSERT_TRUE(Bridge.PollEvents(events));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].SteamId, denied);
    EXPECT_EQ(events[0].Type, EParentEventType::Deny);
    EXPECT_EQ(events[1].SteamId, User);
    EXPECT_EQ(events[1].Type, EParentEventType::Approve);
    ASSERT_TRUE(Bridge.PollEvents(events));
    EXPECT_TRUE(events.empty());

    // Not while replies are owed: the check would read another request's reply.
    ASSERT_TRUE(Bridge.SendPollEvents());
    EXPECT_EQ(Bridge.CheckServing().Error, EBridgeError::RepliesOwed);
}

namespace
{
DWORD WINAPI StartOnThisThread(void* bridge)
{
    return static_cast<FBridgeParent*>(bridge)->Start(ProgramPath(L"authbridge.exe")) ? 0 : 1;
}
} // namespace

TEST_F(FBridgeProcessTest, AnInstanceStartedOnAThreadThatHasEndedStillReads)
{
    // The read the library keeps pending is started by Start() on that thread, and Windows cancels
    // a thread's reads when it exits.
    HANDLE thread = CreateThread(nullptr, 0, StartOnThisThread, &Bridge, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, DefaultReplyTimeoutMs), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD started = 1;
    GetExitCodeThread(thread, &started);
    CloseHandle(thread);
    ASSERT_EQ(started, 0u);

    FAuthenticateReply reply;
    const FBridgeResult result = Bridge.Authenticate(ClientAddress, ApproveTicket(), reply);
    ASSERT_TRUE(result) << result.Message();
    EXPECT_EQ(reply.SteamId, User);
}
