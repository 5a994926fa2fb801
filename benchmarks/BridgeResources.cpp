// What the bridge costs while it waits, and whether the events that pass through its queue leave
// anything behind: CPU time and working set of a real authbridge.exe left idle, and of the same
// bridge after a stream of notices; then a million events through the queue and the reply path
// in this process, where driving them through Steam's dispatch would take hours at two notices
// per cycle.
#include "BenchSupport.h"
#include "BridgeParent.h"
#include "BridgeProtocol.h"
#include "StandInTicket.h"

#include <cstdio>
#include <cstdlib>

namespace
{
constexpr DWORD DefaultIdleSeconds = 60;
constexpr DWORD StartUpSettleMs = 1000;
constexpr uint32_t StreamTickets = 200;
constexpr uint32_t MillionEvents = 1000000;
constexpr uint32_t RoundEvents = 100000;
constexpr DWORD ReplyPipeBufferSize = 64 * 1024;

double KiB(size_t bytes)
{
    return static_cast<double>(bytes) / 1024.0;
}

void PrintMemory(const char* when, const FMemoryFigures& memory)
{
    std::printf("  %-40s working set %8.0f KiB   peak %8.0f KiB\n", when, KiB(memory.WorkingSet),
                KiB(memory.PeakWorkingSet));
}

bool MeasureRealBridge(DWORD idleSeconds)
{
    FBridgeParent bridge;
    const std::wstring folder = ProgramFolder();
    if (!bridge.Start(folder + L"\\authbridge.exe", folder))
    {
        std::printf("could not start authbridge.exe\n");
        return false;
    }
    Sleep(StartUpSettleMs);
    const double cpuBefore = CpuSecondsOf(bridge.Process());
    const FMemoryFigures memoryBefore = MemoryOf(bridge.Process());
    Sleep(idleSeconds * 1000);
    const double cpuIdle = CpuSecondsOf(bridge.Process()) - cpuBefore;
    std::printf("Real authbridge.exe, idle for %lu s:\n", static_cast<unsigned long>(idleSeconds));
    std::printf("  CPU time %.3f s (%.3f%% of one core)\n", cpuIdle, 100.0 * cpuIdle / idleSeconds);
    PrintMemory("at the start of the idle period", memoryBefore);
    PrintMemory("at its end", MemoryOf(bridge.Process()));

    // Each ticket scripts an approve and a kick one dispatch later; the bridge serves one a cycle.
    const double cpuStreamStart = CpuSecondsOf(bridge.Process());
    const double start = NowSeconds();
    std::vector<uint8_t> requests;
    for (uint32_t i = 0; i < StreamTickets; ++i)
    {
        FStandInTicket ticket;
        ticket.SteamId = 0x0110000100000000ULL | i;
        ticket.KickDelay = 1;
        ticket.KickReason = 1;
        const std::vector<uint8_t> request = EncodeAuthenticate(0x0A000001, EncodeStandInTicket(ticket));
        requests.insert(requests.end(), request.begin(), request.end());
    }
    if (!bridge.Write(requests))
    {
        return false;
    }
    for (uint32_t i = 0; i < StreamTickets; ++i)
    {
        FAuthenticateReply reply;
        if (!bridge.ReadAuthenticateReply(reply))
        {
            std::printf("no reply to request %u\n", i);
            return false;
        }
    }
    std::vector<FBridgeEvent> events;
    size_t delivered = 0;
    while (delivered < 2 * StreamTickets && bridge.PollEvents(events))
    {
        delivered += events.size();
    }
    const double seconds = NowSeconds() - start;
    std::printf("Same bridge after %u Authenticate requests back to back and %zu events polled (%.1f s):\n",
                StreamTickets, delivered, seconds);
    std::printf("  CPU time %.3f s\n", CpuSecondsOf(bridge.Process()) - cpuStreamStart);
    PrintMemory("afterwards", MemoryOf(bridge.Process()));
    return true;
}

DWORD WINAPI Drain(void* pipe)
{
    std::vector<uint8_t> buffer(ReplyPipeBufferSize);
    DWORD read = 0;
    while (
        ReadFile(static_cast<HANDLE>(pipe), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr))
    {
    }
    return 0;
}

double ThreadCpuSeconds()
{
    FILETIME created;
    FILETIME exited;
    FILETIME kernel;
    FILETIME user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    const auto seconds = [](const FILETIME& time) {
        return static_cast<double>(static_cast<ULONGLONG>(time.dwHighDateTime) << 32 | time.dwLowDateTime) /
               1e7;
    };
    return seconds(kernel) + seconds(user);
}

// A million events appended and polled in rounds of the given size.
void PassMillionEvents(HANDLE requestRead, HANDLE requestWrite, HANDLE replyWrite, uint32_t perPoll)
{
    const double cpuStart = ThreadCpuSeconds();
    const double start = NowSeconds();
    for (uint32_t done = 0; done < MillionEvents; done += perPoll)
    {
        for (uint32_t i = 0; i < perPoll; ++i)
        {
            AppendAuthEvent({0x0110000100000000ULL | (done + i), EAuthEventType::Approve, -1});
        }
        const uint32_t pollCode = static_cast<uint32_t>(EBridgeCommand::PollEvents);
        DWORD written = 0;
        WriteFile(requestWrite, &pollCode, sizeof(pollCode), &written, nullptr);
        HandleOneRequest(requestRead, replyWrite);
    }
    std::printf("  %u events, %u per poll: %.2f s, CPU time of the bridge's thread %.2f s\n", MillionEvents,
                perPoll, NowSeconds() - start, ThreadCpuSeconds() - cpuStart);
    PrintMemory("afterwards", MemoryOf(GetCurrentProcess()));
}

bool MeasureMillionEvents()
{
    HANDLE requestRead = nullptr;
    HANDLE requestWrite = nullptr;
    HANDLE replyRead = nullptr;
    HANDLE replyWrite = nullptr;
    if (!CreatePipe(&requestRead, &requestWrite, nullptr, 4096) ||
        !CreatePipe(&replyRead, &replyWrite, nullptr, ReplyPipeBufferSize))
    {
        return false;
    }
    HANDLE drain = CreateThread(nullptr, 0, Drain, replyRead, 0, nullptr);
    std::printf("A million events through the queue and the reply path, in this process:\n");
    PrintMemory("before", MemoryOf(GetCurrentProcess()));
    PassMillionEvents(requestRead, requestWrite, replyWrite, RoundEvents);
    PassMillionEvents(requestRead, requestWrite, replyWrite, MillionEvents);
    CloseHandle(replyWrite);
    WaitForSingleObject(drain, INFINITE);
    CloseHandle(drain);
    return true;
}
} // namespace

// Optional argument: the idle period in seconds (60 by default).
int main(int argc, char** argv)
{
    const DWORD idleSeconds =
        argc > 1 ? static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)) : DefaultIdleSeconds;
    const bool ok = MeasureRealBridge(idleSeconds) && MeasureMillionEvents();
    return ok ? 0 : 1;
}
