// The reader of the bridge's output on its own, on a plain pipe of the test's making, with an event
// standing in for the writing process: set, it says that the writer has ended.
#include "PipeReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
constexpr DWORD SignalTimeoutMs = 5000;

class FPipeReaderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        static LONG serial = 0;
        const std::wstring name = L"\\\\.\\pipe\\karveth-reader-test-" +
                                  std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(InterlockedIncrement(&serial));
        FOwnedHandle ours(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                           PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, 1 << 16, 0,
                                           nullptr));
        ASSERT_TRUE(ours);
        WriteEnd.Reset(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(WriteEnd);
        WriterGone.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ReadEnd = std::move(ours);
    }

    void Open()
    {
        DWORD error = 0;
        ASSERT_TRUE(Reader.Open(std::move(ReadEnd), WriterGone.Get(), error)) << error;
    }

    void Write(const std::vector<uint8_t>& bytes)
    {
        DWORD written = 0;
        ASSERT_TRUE(
            WriteFile(WriteEnd.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        ASSERT_EQ(written, bytes.size());
    }

    bool Signalled(DWORD timeoutMs) const
    {
        return WaitForSingleObject(Reader.Event(), timeoutMs) == WAIT_OBJECT_0;
    }

    // Collects until count bytes have come or the reader has ended, waiting on its event.
    void CollectUntil(size_t count)
    {
        while (Collected.size() < count && !Reader.Ended())
        {
            ASSERT_TRUE(Signalled(SignalTimeoutMs)) << Collected.size() << " of " << count << " bytes";
            Reader.Collect(Collected);
        }
    }

    FOwnedHandle ReadEnd;
    FOwnedHandle WriteEnd;
    FOwnedHandle WriterGone;
    FPipeReader Reader;
    std::vector<uint8_t> Collected;
};

std::vector<uint8_t> Pattern(size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
    {
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    return bytes;
}

struct FWriteJob
{
    HANDLE Pipe;
    std::vector<uint8_t> Bytes;
};

DWORD WINAPI WriteOnThisThread(void* job)
{
    const FWriteJob& write = *static_cast<FWriteJob*>(job);
    DWORD written = 0;
    return WriteFile(write.Pipe, write.Bytes.data(), static_cast<DWORD>(write.Bytes.size()), &written,
                     nullptr) &&
                   written == write.Bytes.size()
               ? 0
               : 1;
}

struct FOpenJob
{
    FPipeReader* Reader;
    FOwnedHandle Pipe;
    HANDLE Writer;
};

DWORD WINAPI OpenOnThisThread(void* job)
{
    FOpenJob& open = *static_cast<FOpenJob*>(job);
    DWORD error = 0;
    return open.Reader->Open(std::move(open.Pipe), open.Writer, error) ? 0 : error;
}
} // namespace

TEST_F(FPipeReaderTest, BytesSignalTheEventAndCollectingTakesThemAndClearsIt)
{
    Open();
    Reader.Collect(Collected);
    EXPECT_TRUE(Collected.empty());
    EXPECT_FALSE(Signalled(0)) << "signalled with nothing to collect";
    EXPECT_FALSE(Reader.Ended());

    Write({1, 2, 3, 4, 5});
    EXPECT_TRUE(Signalled(SignalTimeoutMs));
    CollectUntil(5);
    EXPECT_EQ(Collected, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_FALSE(Signalled(0)) << "still signalled after everything was collected";
    EXPECT_FALSE(Reader.Ended());
}

TEST_F(FPipeReaderTest, MoreThanOneReadHoldsComesWholeAndInOrder)
{
    Open();
    // Larger than the reader's 64 KiB and the pipe's buffer, so it comes in many reads.
    FWriteJob job{WriteEnd.Get(), Pattern(300000)};
    HANDLE thread = CreateThread(nullptr, 0, WriteOnThisThread, &job, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    CollectUntil(job.Bytes.size());
    EXPECT_EQ(WaitForSingleObject(thread, SignalTimeoutMs), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(thread);
    EXPECT_TRUE(Collected == job.Bytes) << Collected.size() << " bytes";
}

TEST_F(FPipeReaderTest, AClosedWriteEndEndsTheReaderAfterItsLastBytes)
{
    Open();
    Write({9, 8, 7});
    WriteEnd.Reset();
    CollectUntil(4);
    EXPECT_EQ(Collected, (std::vector<uint8_t>{9, 8, 7}));
    EXPECT_TRUE(Reader.Ended());
    EXPECT_EQ(Reader.EndError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    EXPECT_TRUE(Signalled(0)) << "an ended reader's event stays signalled";
    Reader.Collect(Collected);
    EXPECT_EQ(Collected.size(), 3u);
}

TEST_F(FPipeReaderTest, AWriterThatEndsWhileItsPipeIsHeldOpenEndsTheReaderAndSignalsTheEvent)
{
    Open();
    Reader.Collect(Collected);
    // The write end stays open, as in a child that inherited it.
    SetEvent(WriterGone.Get());
    EXPECT_TRUE(Signalled(SignalTimeoutMs)) << "the writer's end did not wake a waiter";
    Reader.Collect(Collected);
    EXPECT_TRUE(Reader.Ended());
    EXPECT_EQ(Reader.EndError(), 0u);
    EXPECT_TRUE(Collected.empty());
    EXPECT_TRUE(Signalled(0));
}

TEST_F(FPipeReaderTest, TheLastBytesOfAWriterThatEndsAreCollectedThoughThePipeIsHeldOpen)
{
    const struct
    {
        const char* Name;
        bool CollectBefore;
        size_t Size;
    } cases[] = {
        // Taken by the pending read before the writer is seen to end.
        {"a few bytes, read pending", true, 5},
        // Not yet read when the writer is seen to end: some wait in the pipe.
        {"more than one read holds, none collected", false, 100000},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Name);
        SetUp();
        Collected.clear();
        Open();
        if (c.CollectBefore)
        {
            Reader.Collect(Collected);
        }
        FWriteJob job{WriteEnd.Get(), Pattern(c.Size)};
        HANDLE thread = CreateThread(nullptr, 0, WriteOnThisThread, &job, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        // The writer ends once all its bytes are in the pipe or taken.
        ULONGLONG deadline = GetTickCount64() + SignalTimeoutMs;
        while (WaitForSingleObject(thread, 0) == WAIT_TIMEOUT && GetTickCount64() < deadline)
        {
            Reader.Collect(Collected);
            Sleep(1);
        }
        EXPECT_EQ(WaitForSingleObject(thread, SignalTimeoutMs), static_cast<DWORD>(WAIT_OBJECT_0));
        CloseHandle(thread);
        SetEvent(WriterGone.Get());
        Reader.Collect(Collected);
        EXPECT_TRUE(Reader.Ended());
        EXPECT_EQ(Reader.EndError(), 0u);
        EXPECT_TRUE(Collected == job.Bytes) << Collected.size() << " of " << c.Size << " bytes";
        Reader.Close();
    }
}

TEST_F(FPipeReaderTest, AReaderOpenedOnAThreadThatHasEndedStillCollects)
{
    // Windows cancels the reads of a thread that exits, the pending one included.
    FOpenJob job{&Reader, std::move(ReadEnd), WriterGone.Get()};
    HANDLE thread = CreateThread(nullptr, 0, OpenOnThisThread, &job, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, SignalTimeoutMs), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD opened = 1;
    GetExitCodeThread(thread, &opened);
    CloseHandle(thread);
    ASSERT_EQ(opened, 0u);

    Reader.Collect(Collected);
    Write({4, 2});
    CollectUntil(2);
    EXPECT_EQ(Collected, (std::vector<uint8_t>{4, 2}));
    EXPECT_FALSE(Reader.Ended());
}

TEST_F(FPipeReaderTest, WaitReturnsOnBytesOnTheWritersEndAndAfterItsTimeout)
{
    Open();
    DWORD error = 0;
    for (DWORD timeoutMs : {0u, 1u})
    {
        EXPECT_TRUE(Reader.Wait(timeoutMs, error));
        EXPECT_FALSE(Signalled(0));
    }
    Write({1});
    EXPECT_TRUE(Reader.Wait(SignalTimeoutMs, error));
    EXPECT_TRUE(Signalled(0));
    Reader.Collect(Collected);
    SetEvent(WriterGone.Get());
    EXPECT_TRUE(Reader.Wait(SignalTimeoutMs, error));
    EXPECT_EQ(error, 0u);
}

TEST_F(FPipeReaderTest, AWaitThatFailsSaysSoWithTheWindowsError)
{
    // A writer's handle that cannot be waited on: without SYNCHRONIZE access.
    HANDLE unwaitable = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), WriterGone.Get(), GetCurrentProcess(), &unwaitable,
                                EVENT_MODIFY_STATE, FALSE, 0));
    DWORD error = 0;
    ASSERT_TRUE(Reader.Open(std::move(ReadEnd), unwaitable, error)) << error;
    EXPECT_FALSE(Reader.Wait(SignalTimeoutMs, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    Reader.Close();
    CloseHandle(unwaitable);
}
