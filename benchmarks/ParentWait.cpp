// What a game server pays while it waits for the bridge: the parent-side library's wait (an
// overlapped read that sleeps in the kernel) beside the loop it replaced (peek at an anonymous pipe,
// sleep 1 ms, peek again), kept here only as the baseline. Both run in one program against the real
// authbridge.exe: the CPU time of waiting 30 s on a silent bridge, and request latency.
#include "BenchSupport.h"
#include "BridgeParent.h"
#include "StandInTicket.h"

#include <cstdio>
#include <functional>
#include <random>

namespace
{
constexpr DWORD SilentWaitMs = 30000;
constexpr int RequestsEach = 300;
// A request can arrive at any point of the bridge's ~60 ms cycle.
constexpr DWORD LongestPauseMs = 70;
constexpr DWORD ReplyTimeoutMs = 5000;
constexpr uint32_t ClientAddress = 0x0A000001;
constexpr size_t AuthenticateReplySize = 12;
constexpr size_t EventSize = 16;

// The former reader: the bridge on two anonymous pipes, and a read that peeks every millisecond.
class FPeekingParent
{
public:
    ~FPeekingParent()
    {
        if (Process != nullptr)
        {
            TerminateProcess(Process, 1);
            WaitForSingleObject(Process, 5000);
            CloseHandle(Process);
        }
        for (HANDLE handle : {ToBridge, FromBridge})
        {
            if (handle != nullptr)
            {
                CloseHandle(handle);
            }
        }
    }

    bool Start(const std::wstring& exePath, const std::wstring& folder)
    {
        SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
        HANDLE childInput = nullptr;
        HANDLE childOutput = nullptr;
        if (!CreatePipe(&childInput, &ToBridge, &inheritable, 1 << 20) ||
            !CreatePipe(&FromBridge, &childOutput, &inheritable, 1 << 20))
        {
            return false;
        }
        SetHandleInformation(ToBridge, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(FromBridge, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childInput;
        startup.hStdOutput = childOutput;
        PROCESS_INFORMATION process = {};
        std::wstring commandLine = L"\"" + exePath + L"\"";
        const BOOL started = CreateProcessW(exePath.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                            CREATE_NO_WINDOW, nullptr, folder.c_str(), &startup, &process);
        CloseHandle(childInput);
        CloseHandle(childOutput);
        if (!started)
        {
            return false;
        }
        CloseHandle(process.hThread);
        Process = process.hProcess;
        return true;
    }

    bool Write(const std::vector<uint8_t>& bytes)
    {
        DWORD written = 0;
        return WriteFile(ToBridge, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size();
    }

    // The loop as the library had it: peek, read what is there, else check the process and the
    // deadline and sleep a millisecond.
    bool ReadExact(uint8_t* buffer, size_t size, DWORD timeoutMs)
    {
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        size_t got = 0;
        while (got < size)
        {
            DWORD available = 0;
            if (!PeekNamedPipe(FromBridge, nullptr, 0, nullptr, &available, nullptr))
            {
                return false;
            }
            if (available > 0)
            {
                DWORD read = 0;
                const DWORD wanted = static_cast<DWORD>(std::min<size_t>(size - got, available));
                if (!ReadFile(FromBridge, buffer + got, wanted, &read, nullptr))
                {
                    return false;
                }
                got += read;
                continue;
            }
            if (WaitForSingleObject(Process, 0) == WAIT_OBJECT_0 || GetTickCount64() >= deadline)
            {
                return false;
            }
            Sleep(1);
        }
        return true;
    }

private:
    HANDLE Process = nullptr;
    HANDLE ToBridge = nullptr;
    HANDLE FromBridge = nullptr;
};

struct FWay
{
    const char* Name;
    std::function<bool(const std::vector<uint8_t>&)> Write;
    std::function<bool(uint8_t*, size_t, DWORD)> ReadExact;
    std::vector<double> Latencies;
};

// A read of a reply that never comes: nothing was asked. Both bridges run meanwhile, so the Wine
// server's figure holds their share as well, the same in both runs.
void MeasureSilentWait(FWay& way)
{
    uint8_t reply[AuthenticateReplySize];
    const double serverBefore = WineServerCpuSeconds();
    const double cpuBefore = CpuSecondsOf(GetCurrentProcess());
    const double start = NowSeconds();
    const bool answered = way.ReadExact(reply, sizeof(reply), SilentWaitMs);
    const double wall = NowSeconds() - start;
    const double cpu = CpuSecondsOf(GetCurrentProcess()) - cpuBefore;
    const double serverAfter = WineServerCpuSeconds();
    std::printf("  %-34s CPU %7.3f s over %5.1f s (%6.3f%% of one core)", way.Name, cpu, wall,
                100.0 * cpu / wall);
    if (serverBefore >= 0.0 && serverAfter >= 0.0)
    {
        std::printf("   Wine server meanwhile %6.2f s", serverAfter - serverBefore);
    }
    std::printf("\n");
    if (answered)
    {
        std::printf("  (the silent bridge answered?)\n");
    }
}

// Write to complete reply; every other request a poll, whose size is read from its count.
bool Request(FWay& way, int i)
{
    const bool isPoll = i % 2 == 1;
    const std::vector<uint8_t> request =
        isPoll ? EncodePollEvents()
               : EncodeAuthenticate(ClientAddress, EncodeStandInTicket(FStandInTicket{
                                                       0x0110000100000000ULL | static_cast<uint32_t>(i),
                                                       EStandInVerdict::Approve, 0, 0, 0, 0}));
    std::vector<uint8_t> reply(AuthenticateReplySize);
    const double start = NowSeconds();
    bool answered = way.Write(request);
    if (isPoll)
    {
        answered = answered && way.ReadExact(reply.data(), 4, ReplyTimeoutMs);
        const size_t rest =
            EventSize * (reply[0] | reply[1] << 8 | reply[2] << 16 | static_cast<size_t>(reply[3]) << 24);
        reply.resize(4 + rest);
        answered = answered && (rest == 0 || way.ReadExact(reply.data() + 4, rest, ReplyTimeoutMs));
    }
    else
    {
        answered = answered && way.ReadExact(reply.data(), AuthenticateReplySize, ReplyTimeoutMs);
    }
    way.Latencies.push_back(NowSeconds() - start);
    return answered;
}

void PrintLatency(const FWay& way)
{
    const std::vector<double>& samples = way.Latencies;
    std::printf("  %-34s n=%-4zu median %7.3f ms   p99 %7.3f ms   min %7.3f   max %7.3f\n", way.Name,
                samples.size(), Percentile(samples, 0.5) * 1e3, Percentile(samples, 0.99) * 1e3,
                Percentile(samples, 0.0) * 1e3, Percentile(samples, 1.0) * 1e3);
}
} // namespace

int main()
{
    const std::wstring folder = ProgramFolder();
    const std::wstring exePath = folder + L"\\authbridge.exe";
    FPeekingParent peeking;
    FBridgeParent waiting;
    if (!peeking.Start(exePath, folder) || !waiting.Start(exePath, folder))
    {
        std::printf("could not start authbridge.exe\n");
        return 1;
    }
    FWay ways[] = {
        {"peek loop, 1 ms sleep (former)",
         [&](const std::vector<uint8_t>& bytes) { return peeking.Write(bytes); },
         [&](uint8_t* buffer, size_t size, DWORD timeoutMs)
         { return peeking.ReadExact(buffer, size, timeoutMs); },
         {}},
        {"overlapped wait (library)",
         [&](const std::vector<uint8_t>& bytes) { return static_cast<bool>(waiting.Write(bytes)); },
         [&](uint8_t* buffer, size_t size, DWORD timeoutMs)
         { return static_cast<bool>(waiting.ReadExact(buffer, size, timeoutMs)); },
         {}},
    };

    std::printf("A parent waiting %lu s for a reply from a silent bridge (real authbridge.exe), CPU time of "
                "the parent:\n",
                static_cast<unsigned long>(SilentWaitMs / 1000));
    for (FWay& way : ways)
    {
        MeasureSilentWait(way);
    }

    // The two take turns, so that both see the same machine load.
    std::mt19937 random(1);
    for (int i = 0; i < RequestsEach; ++i)
    {
        for (int turn = 0; turn < 2; ++turn)
        {
            FWay& way = ways[(i + turn) % 2];
            Sleep(std::uniform_int_distribution<DWORD>(0, LongestPauseMs)(random));
            if (!Request(way, i))
            {
                std::printf("no reply to request %d (%s)\n", i, way.Name);
                return 1;
            }
        }
    }
    std::printf("Request latency, write to complete reply (Authenticate and PollEvents alternating, random "
                "pause 0-%lu ms before each, the two readers taking turns):\n",
                static_cast<unsigned long>(LongestPauseMs));
    for (const FWay& way : ways)
    {
        PrintLatency(way);
    }
    return 0;
}
