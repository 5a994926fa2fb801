// A PollEvents reply carrying 100,000 events: the bridge's own reply path (HandleOneRequest, which
// builds the reply in memory and writes it whole) beside the same bytes written one field at a time.
// Both go into a pipe that a reader thread drains, as a parent would; the time runs until the
// reader has the last byte.
#include "BenchSupport.h"
#include "BridgeProtocol.h"
#include "WriteCounter.h"

#include <cstdio>
#include <cstring>

namespace
{
constexpr uint32_t EventCount = 100000;
constexpr int WholeRuns = 5;
// A parent's pipe of ordinary size; the reader empties it as fast as it can.
constexpr DWORD PipeBufferSize = 64 * 1024;
constexpr size_t ReplySize = 4 + static_cast<size_t>(EventCount) * sizeof(FAuthEvent);

struct FReader
{
    HANDLE Pipe = nullptr;
    std::vector<uint8_t> Bytes;
    double Finished = 0.0;
};

DWORD WINAPI ReadWholeReply(void* parameter)
{
    FReader& reader = *static_cast<FReader*>(parameter);
    size_t got = 0;
    while (got < reader.Bytes.size())
    {
        DWORD read = 0;
        if (!ReadFile(reader.Pipe, reader.Bytes.data() + got, static_cast<DWORD>(reader.Bytes.size() - got),
                      &read, nullptr))
        {
            break;
        }
        got += read;
    }
    reader.Finished = NowSeconds();
    return 0;
}

FAuthEvent SampleEvent(uint32_t i)
{
    FAuthEvent event;
    event.SteamId = 0x0110000100000000ULL | i;
    event.Type = static_cast<EAuthEventType>(i % 3);
    event.Reason = i % 3 == 0 ? -1 : static_cast<int32_t>(i);
    return event;
}

void WriteField(HANDLE output, const void* data, DWORD size)
{
    DWORD written = 0;
    WriteFile(output, data, size, &written, nullptr);
}

struct FRun
{
    double Seconds = 0.0;
    LONG WriteCalls = 0;
    std::vector<uint8_t> Bytes;
};

// Starts the reader, runs the writer, and waits for the last byte.
template <class FWriter> FRun Measure(HANDLE replyRead, FWriter writer)
{
    FReader reader;
    reader.Pipe = replyRead;
    reader.Bytes.assign(ReplySize, 0);
    HANDLE thread = CreateThread(nullptr, 0, ReadWholeReply, &reader, 0, nullptr);
    ResetWriteFileCalls();
    const double start = NowSeconds();
    writer();
    FRun run;
    run.WriteCalls = WriteFileCalls();
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    run.Seconds = reader.Finished - start;
    run.Bytes = std::move(reader.Bytes);
    return run;
}
} // namespace

int main()
{
    const bool counting = StartCountingWriteFile();
    HANDLE requestRead = nullptr;
    HANDLE requestWrite = nullptr;
    HANDLE replyRead = nullptr;
    HANDLE replyWrite = nullptr;
    if (!CreatePipe(&requestRead, &requestWrite, nullptr, PipeBufferSize) ||
        !CreatePipe(&replyRead, &replyWrite, nullptr, PipeBufferSize))
    {
        std::printf("no pipes\n");
        return 1;
    }
    std::vector<FAuthEvent> events;
    for (uint32_t i = 0; i < EventCount; ++i)
    {
        events.push_back(SampleEvent(i));
    }

    const std::vector<uint8_t> built = BuildPollReply(events);
    std::vector<double> buildTimes;
    std::vector<double> wholeTimes;
    LONG wholeCalls = 0;
    bool same = true;
    for (int run = 0; run < WholeRuns; ++run)
    {
        const double buildStart = NowSeconds();
        same = same && BuildPollReply(events) == built;
        buildTimes.push_back(NowSeconds() - buildStart);

        for (const FAuthEvent& event : events)
        {
            AppendAuthEvent(event);
        }
        const uint32_t pollCode = static_cast<uint32_t>(EBridgeCommand::PollEvents);
        DWORD written = 0;
        WriteFile(requestWrite, &pollCode, sizeof(pollCode), &written, nullptr);
        const FRun whole = Measure(replyRead, [&] { HandleOneRequest(requestRead, replyWrite); });
        wholeTimes.push_back(whole.Seconds);
        wholeCalls = whole.WriteCalls;
        same = same && whole.Bytes == built;
    }
    // Once only: under Wine every write call is a round trip to the server, and this takes half a minute.
    const FRun fields = Measure(replyRead,
                                [&]
                                {
                                    const uint32_t count = EventCount;
                                    WriteField(replyWrite, &count, 4);
                                    for (const FAuthEvent& event : events)
                                    {
                                        WriteField(replyWrite, &event.SteamId, 8);
                                        WriteField(replyWrite, &event.Type, 4);
                                        WriteField(replyWrite, &event.Reason, 4);
                                    }
                                });
    same = same && fields.Bytes == built;

    std::printf("PollEvents reply with %u events (%zu bytes), pipe buffer %lu KiB:\n", EventCount, ReplySize,
                static_cast<unsigned long>(PipeBufferSize / 1024));
    std::printf("  %-48s %10.2f ms (median of %d)\n", "building it in memory (BuildPollReply)",
                Percentile(buildTimes, 0.5) * 1e3, WholeRuns);
    std::printf("  %-48s %10.2f ms (median of %d)   write calls: %ld\n",
                "the bridge's reply path (HandleOneRequest)", Percentile(wholeTimes, 0.5) * 1e3, WholeRuns,
                static_cast<long>(wholeCalls));
    std::printf("  %-48s %10.2f ms (one run)       write calls: %ld\n",
                "the same bytes, one write call per field", fields.Seconds * 1e3,
                static_cast<long>(fields.WriteCalls));
    if (!counting)
    {
        std::printf("  (WriteFile calls could not be counted in this build)\n");
    }
    std::printf("  bytes of both replies identical: %s\n", same ? "yes" : "NO");
    return same ? 0 : 1;
}
