// Nothing escapes into C: every call of the C interface, made to fail at each of its allocations in
// turn, returns KvBridgeOutOfMemory with its last message instead of letting std::bad_alloc out; and
// a poll count far beyond the limit is refused without a large allocation. This program replaces
// the global operator new to count and fail allocations.
#include "bridge_parent.h"

#include "TestFiles.h"
#include "WireBytes.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>

namespace
{
// The allocation that fails, counted from 0 once armed; -1 while none is to fail.
volatile LONG AllocationsBeforeFailure = -1;
volatile LONG FailuresMade = 0;
// The largest allocation made while Measuring is set.
volatile LONG Measuring = 0;
size_t LargestAllocation = 0;
} // namespace

void* operator new(std::size_t size)
{
    if (AllocationsBeforeFailure >= 0 && InterlockedDecrement(&AllocationsBeforeFailure) == -1)
    {
        InterlockedIncrement(&FailuresMade);
        throw std::bad_alloc();
    }
    if (Measuring != 0 && size > LargestAllocation)
    {
        LargestAllocation = size;
    }
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr)
    {
        throw std::bad_alloc();
    }
    return memory;
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

namespace
{
constexpr uint32_t ClientAddress = 0xC0A80117;
// Far above what any one call allocates; the sweep stops once a call gets past all its allocations.
constexpr int MostAllocationsPerCall = 200;

std::wstring ProgramPath(const wchar_t* name)
{
    return ProgramFolder() + L"\\" + name;
}

// Calls the function with the n-th allocation failing, for n = 0, 1, ... until it gets past all of
// them; each time it must return failed and say "out of memory". Before each call, prepare runs
// with no allocation failing, after each failed one reset. Returns how many allocations the call makes.
int SweepAllocationFailures(const char* name, FKvBridge* const& bridge, int32_t failed,
                            const std::function<void()>& prepare, const std::function<int32_t()>& call,
                            const std::function<void()>& reset)
{
    for (int failing = 0; failing < MostAllocationsPerCall; ++failing)
    {
        prepare();
        FailuresMade = 0;
        AllocationsBeforeFailure = failing;
        const int32_t result = call();
        AllocationsBeforeFailure = -1;
        if (FailuresMade == 0)
        {
            return failing;
        }
        EXPECT_EQ(result, failed) << name << ", allocation " << failing;
        EXPECT_STREQ(KvBridgeLastMessage(bridge), "out of memory") << name << ", allocation " << failing;
        reset();
    }
    ADD_FAILURE() << name << " makes more than " << MostAllocationsPerCall << " allocations";
    return MostAllocationsPerCall;
}
} // namespace

TEST(BridgeParentCGuard, EveryCallReturnsOutOfMemoryWhenAnAllocationFailsAndWorksAfterwards)
{
    // KvBridgeCreate: NULL, whichever of its allocations fails.
    for (int failing = 0;; ++failing)
    {
        FailuresMade = 0;
        AllocationsBeforeFailure = failing;
        FKvBridge* made = KvBridgeCreate();
        AllocationsBeforeFailure = -1;
        if (FailuresMade == 0)
        {
            ASSERT_NE(made, nullptr);
            KvBridgeDestroy(made);
            break;
        }
        EXPECT_EQ(made, nullptr) << "allocation " << failing;
    }

    FKvBridge* bridge = KvBridgeCreate();
    ASSERT_NE(bridge, nullptr);
    const std::wstring bridgePath = ProgramPath(L"authbridge.exe");
    const wchar_t* environment[] = {L"KARVETH_GUARD_TEST=1"};
    auto start = [&] { return KvBridgeStart(bridge, bridgePath.c_str(), nullptr, environment, 1); };
    // A new handle, so that no buffer of the last one saves an allocation.
    auto restart = [&]
    {
        KvBridgeDestroy(bridge);
        bridge = KvBridgeCreate();
        ASSERT_NE(bridge, nullptr);
        ASSERT_EQ(start(), KvBridgeOk) << KvBridgeLastMessage(bridge);
    };
    uint32_t result = 0;
    uint64_t steamId = 0;
    uint32_t count = 0;
    uint32_t exitStatus = 0;
    uint8_t byte = 0;
    const uint8_t ticket[] = {'n', 'o'};
    FKvBridgeEvent event;
    auto nothing = [] {};
    auto sendAuthenticate = [&] { KvBridgeSendAuthenticate(bridge, ClientAddress, ticket, sizeof(ticket)); };
    auto sendPoll = [&] { KvBridgeSendPollEvents(bridge); };
    // A reply waits unread: the bridge answers within one cycle of about 60 ms.
    auto replyWaiting = [&]
    {
        KvBridgeSendPollEvents(bridge);
        Sleep(300);
    };
    const struct
    {
        const char* Name;
        int32_t Failed;
        std::function<void()> Prepare;
        std::function<int32_t()> Call;
    } calls[] = {
        {"KvBridgeStart", KvBridgeOutOfMemory, nothing, start},
        {"KvBridgeCheckServing", KvBridgeOutOfMemory, nothing,
         [&] { return KvBridgeCheckServing(bridge, 5000); }},
        {"KvBridgeAuthenticate", KvBridgeOutOfMemory, nothing,
         [&] {
             return KvBridgeAuthenticate(bridge, ClientAddress, ticket, sizeof(ticket), 5000, &result,
                                         &steamId);
         }},
        {"KvBridgePollEvents", KvBridgeOutOfMemory, nothing,
         [&] { return KvBridgePollEvents(bridge, 5000, &count); }},
        {"KvBridgeGetEvent out of range", KvBridgeOutOfMemory, nothing,
         [&] { return KvBridgeGetEvent(bridge, 7, &event); }},
        {"KvBridgeSendAuthenticate", KvBridgeOutOfMemory, nothing,
         [&] { return KvBridgeSendAuthenticate(bridge, ClientAddress, ticket, sizeof(ticket)); }},
        {"KvBridgeSendPollEvents", KvBridgeOutOfMemory, nothing,
         [&] { return KvBridgeSendPollEvents(bridge); }},
        {"KvBridgeReadAuthenticateReply", KvBridgeOutOfMemory, sendAuthenticate,
         [&] { return KvBridgeReadAuthenticateReply(bridge, 5000, &result, &steamId); }},
        {"KvBridgeReadPollReply", KvBridgeOutOfMemory, sendPoll,
         [&] { return KvBridgeReadPollReply(bridge, 5000, &count); }},
        {"KvBridgeReplyReady", 1, replyWaiting, [&] { return KvBridgeReplyReady(bridge); }},
        {"KvBridgeBytesWaiting", 0, replyWaiting,
         [&] { return static_cast<int32_t>(KvBridgeBytesWaiting(bridge)); }},
        {"KvBridgeReadExact timing out", KvBridgeOutOfMemory, nothing,
         [&] { return KvBridgeReadExact(bridge, &byte, 1, 0); }},
        {"KvBridgeWaitForExit timing out", KvBridgeOutOfMemory, nothing,
         [&] { return KvBridgeWaitForExit(bridge, 0, &exitStatus); }},
    };
    ASSERT_EQ(start(), KvBridgeOk) << KvBridgeLastMessage(bridge);
    for (const auto& c : calls)
    {
        const int allocations = SweepAllocationFailures(c.Name, bridge, c.Failed, c.Prepare, c.Call, restart);
        std::printf("%-32s %d allocations, each made to fail once\n", c.Name, allocations);
        restart();
    }
    // And the handle still works.
    EXPECT_EQ(KvBridgeAuthenticate(bridge, ClientAddress, ticket, sizeof(ticket), 5000, &result, &steamId),
              KvBridgeOk)
        << KvBridgeLastMessage(bridge);
    EXPECT_STREQ(KvBridgeErrorName(KvBridgeOutOfMemory), "out of memory");
    KvBridgeDestroy(bridge);
}

TEST(BridgeParentCGuard, APollCountFarBeyondTheLimitIsRefusedWithoutALargeAllocation)
{
    // What the library may allocate for a reply it refuses: its read buffer and small strings.
    constexpr size_t MostAllocated = 64 * 1024;
    const struct
    {
        const char* Hex;
        uint32_t Count;
    } cases[] = {
        {"00000010", 0x10000000u}, {"ffffffff", 0xFFFFFFFFu}, {"01001000", KVBRIDGE_MAX_POLL_EVENTS + 1}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Hex);
        FKvBridge* bridge = KvBridgeCreate();
        ASSERT_NE(bridge, nullptr);
        const std::wstring steps = L"SCRIPTED_BRIDGE_STEPS=read hex:" + std::wstring(c.Hex, c.Hex + 8);
        const wchar_t* environment[] = {steps.c_str()};
        ASSERT_EQ(KvBridgeStart(bridge, ProgramPath(L"scripted_bridge.exe").c_str(), nullptr, environment, 1),
                  KvBridgeOk);
        uint32_t count = 7;
        LargestAllocation = 0;
        Measuring = 1;
        const int32_t polled = KvBridgePollEvents(bridge, 5000, &count);
        Measuring = 0;
        EXPECT_EQ(polled, KvBridgeTooManyEvents) << KvBridgeLastMessage(bridge);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(
            std::string(KvBridgeLastMessage(bridge))
                .rfind("a poll reply announced " + std::to_string(c.Count) + " events, more than the 1048576",
                       0),
            0u)
            << KvBridgeLastMessage(bridge);
        EXPECT_LE(LargestAllocation, MostAllocated);
        EXPECT_STREQ(KvBridgeErrorName(polled), "too many events");
        EXPECT_EQ(KvBridgeReplyReady(bridge), 1);
        uint8_t raw[4];
        EXPECT_EQ(KvBridgeReadExact(bridge, raw, sizeof(raw), 0), KvBridgeOk);
        EXPECT_EQ(Hex(std::vector<uint8_t>(raw, raw + 4)), c.Hex);
        KvBridgeDestroy(bridge);
    }
}

TEST(BridgeParentCGuard, BytesThatCouldNotBeTakenInForWantOfMemoryAreTakenByTheNextCall)
{
    FKvBridge* bridge = KvBridgeCreate();
    ASSERT_NE(bridge, nullptr);
    ASSERT_EQ(KvBridgeStart(bridge, ProgramPath(L"authbridge.exe").c_str(), nullptr, nullptr, 0), KvBridgeOk);
    ASSERT_EQ(KvBridgeSendPollEvents(bridge), KvBridgeOk);
    // The library's event is signalled once the reply's bytes have arrived, before they are taken in.
    // How soon depends on the machine (the bridge's start under the 32-bit lane's emulator takes
    // seconds), so the test waits for the event, not for a fixed time.
    constexpr DWORD ReplyWaitMs = 60000;
    ASSERT_EQ(WaitForSingleObject(static_cast<HANDLE>(KvBridgeWaitHandle(bridge)), ReplyWaitMs),
              WAIT_OBJECT_0);
    FailuresMade = 0;
    AllocationsBeforeFailure = 0;
    EXPECT_EQ(KvBridgeReplyReady(bridge), 1);
    AllocationsBeforeFailure = -1;
    ASSERT_EQ(FailuresMade, 1);
    EXPECT_STREQ(KvBridgeLastMessage(bridge), "out of memory");
    uint32_t count = 7;
    EXPECT_EQ(KvBridgeReadPollReply(bridge, 0, &count), KvBridgeOk) << KvBridgeLastMessage(bridge);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(KvBridgeBytesWaiting(bridge), 0u);
    KvBridgeDestroy(bridge);
}
