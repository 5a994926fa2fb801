// Gone means gone, whoever holds the bridge's pipes: another thread of the server starts children
// that inherit every inheritable handle while Start() runs, so that some of them can hold the
// bridge's output open after it has ended; the game-loop calls must still report its end at once.
#include "BridgeParent.h"
#include "PlainChild.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace
{
constexpr int Rounds = 12;
constexpr UINT ExitStatus = 0x2C;
// For a poll request the cutter writes 5 bytes and waits; as a poll reply, the first 4 announce one
// event, 20 bytes in all.
constexpr DWORD PieceSize = 5;
constexpr DWORD PollReplyWithOneEvent = 20;

// Starts children the ordinary way, one after another, on a thread of its own, until stopped.
class FInheritingSpawner
{
public:
    explicit FInheritingSpawner(std::wstring commandLine) : CommandLine(std::move(commandLine)) {}
    FInheritingSpawner(const FInheritingSpawner&) = delete;
    FInheritingSpawner& operator=(const FInheritingSpawner&) = delete;
    ~FInheritingSpawner() { Stop(); }

    // Returns once the first child has been started, so that the thread is busy starting more.
    bool Start()
    {
        Started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        Thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
        return Thread != nullptr && WaitForSingleObject(Started, 10000) == WAIT_OBJECT_0;
    }
    void Stop()
    {
        if (Thread != nullptr)
        {
            InterlockedExchange(&Stopping, 1);
            WaitForSingleObject(Thread, INFINITE);
            CloseHandle(Thread);
            CloseHandle(Started);
            Thread = nullptr;
        }
    }
    size_t Count() const { return Children.size(); }

private:
    static DWORD WINAPI Run(void* self)
    {
        FInheritingSpawner& spawner = *static_cast<FInheritingSpawner*>(self);
        while (InterlockedCompareExchange(&spawner.Stopping, 0, 0) == 0)
        {
            std::unique_ptr<FPlainChild> child(new FPlainChild());
            // Without a console: Wine would start a console host for it, which inherits the same
            // handles and outlives the child.
            if (child->Start(spawner.CommandLine, nullptr, DETACHED_PROCESS))
            {
                spawner.Children.push_back(std::move(child));
            }
            SetEvent(spawner.Started);
        }
        return 0;
    }

    std::wstring CommandLine;
    HANDLE Thread = nullptr;
    HANDLE Started = nullptr;
    volatile LONG Stopping = 0;
    // Killed when the spawner goes.
    std::vector<std::unique_ptr<FPlainChild>> Children;
};
} // namespace

TEST(BridgeParentInheritedPipes, AnEndedBridgeIsReportedAtOnceWhileAnotherChildHoldsItsOutputOpen)
{
    const std::wstring folder = ProgramFolder();
    for (int round = 0; round < Rounds; ++round)
    {
        SCOPED_TRACE("round " + std::to_string(round));
        // Children that wait until their input closes, holding whatever they inherited.
        FInheritingSpawner spawner(L"\"" + folder + L"\\reply_cutter.exe\"");
        ASSERT_TRUE(spawner.Start());
        FBridgeParent bridge;
        const FBridgeResult started = bridge.Start(folder + L"\\reply_cutter.exe");
        spawner.Stop();
        ASSERT_TRUE(started) << started.Message();

        ASSERT_TRUE(bridge.SendPollEvents());
        const ULONGLONG deadline = GetTickCount64() + DefaultReplyTimeoutMs;
        while (bridge.BytesWaiting() < PieceSize && GetTickCount64() < deadline)
        {
            WaitForSingleObject(bridge.WaitHandle(), 100);
        }
        ASSERT_EQ(bridge.BytesWaiting(), PieceSize);
        ASSERT_TRUE(TerminateProcess(bridge.Process(), ExitStatus));
        ASSERT_EQ(WaitForSingleObject(bridge.Process(), DefaultReplyTimeoutMs),
                  static_cast<DWORD>(WAIT_OBJECT_0));

        // The bridge has ended: a loop waiting on the handle wakes, the reply is ready, and the read
        // says why without waiting.
        EXPECT_EQ(WaitForSingleObject(bridge.WaitHandle(), DefaultReplyTimeoutMs),
                  static_cast<DWORD>(WAIT_OBJECT_0))
            << "the wait handle was not signalled when the bridge ended";
        EXPECT_TRUE(bridge.ReplyReady());
        EXPECT_EQ(bridge.BytesWaiting(), PieceSize);
        std::vector<FBridgeEvent> events;
        const FBridgeResult read = bridge.ReadPollReply(events, 0);
        EXPECT_EQ(read.Error, EBridgeError::ShortReply) << read.Message();
        EXPECT_EQ(read.BytesReceived, PieceSize);
        EXPECT_EQ(read.BytesExpected, PollReplyWithOneEvent);
        EXPECT_EQ(read.ExitCode, ExitStatus);
        EXPECT_FALSE(bridge.ReplyReady()) << "no reply is owed once the bridge has gone";
        EXPECT_EQ(bridge.SendPollEvents().Error, EBridgeError::BridgeGone);
        std::printf("round %d: %zu children started during Start()\n", round, spawner.Count());
    }
}
