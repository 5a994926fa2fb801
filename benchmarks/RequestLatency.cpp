// Request latency: from the parent's write to the complete reply, through the real authbridge.exe,
// and the time the bridge itself spends on one request (HandleOneRequest in this process).
#include "BenchSupport.h"
#include "BridgeParent.h"
#include "BridgeProtocol.h"
#include "StandInTicket.h"
#include "SteamGameServerCalls.h"
#include "SteamHandler.h"

#include <cstdio>
#include <random>

namespace
{
constexpr int PipeRequests = 300;
constexpr int InProcessRequests = 2000;
// A request can arrive at any point of the bridge's ~60 ms cycle.
constexpr DWORD LongestPauseMs = 70;
constexpr uint32_t ClientAddress = 0x0A000001;

std::vector<uint8_t> SampleTicket(uint32_t account)
{
    FStandInTicket ticket;
    ticket.SteamId = 0x0110000100000000ULL | account;
    return EncodeStandInTicket(ticket);
}

void PrintRow(const char* name, const std::vector<double>& samples, double scale, const char* unit)
{
    std::printf("  %-26s n=%-5zu median %8.3f %s   p99 %8.3f %s   min %8.3f   max %8.3f\n", name,
                samples.size(), Percentile(samples, 0.5) * scale, unit, Percentile(samples, 0.99) * scale,
                unit, Percentile(samples, 0.0) * scale, Percentile(samples, 1.0) * scale);
}

bool MeasureThroughThePipe()
{
    FBridgeParent bridge;
    const std::wstring folder = ProgramFolder();
    if (!bridge.Start(folder + L"\\authbridge.exe", folder))
    {
        std::printf("could not start authbridge.exe\n");
        return false;
    }
    std::mt19937 random(1);
    std::vector<double> authenticate;
    std::vector<double> poll;
    std::vector<double> all;
    for (int i = 0; i < PipeRequests; ++i)
    {
        Sleep(std::uniform_int_distribution<DWORD>(0, LongestPauseMs)(random));
        const bool isPoll = i % 2 == 1;
        const std::vector<uint8_t> request =
            isPoll ? EncodePollEvents()
                   : EncodeAuthenticate(ClientAddress, SampleTicket(static_cast<uint32_t>(i)));
        const double start = NowSeconds();
        bool answered = false;
        if (isPoll)
        {
            std::vector<FBridgeEvent> events;
            answered = bridge.Write(request) && bridge.ReadPollReply(events);
        }
        else
        {
            FAuthenticateReply reply;
            answered = bridge.Write(request) && bridge.ReadAuthenticateReply(reply);
        }
        const double elapsed = NowSeconds() - start;
        if (!answered)
        {
            std::printf("no reply to request %d\n", i);
            return false;
        }
        (isPoll ? poll : authenticate).push_back(elapsed);
        all.push_back(elapsed);
    }
    std::printf("Through the pipe (real authbridge.exe, random pause 0-%lu ms before each request):\n",
                static_cast<unsigned long>(LongestPauseMs));
    PrintRow("Authenticate", authenticate, 1e3, "ms");
    PrintRow("PollEvents", poll, 1e3, "ms");
    PrintRow("all requests", all, 1e3, "ms");
    return true;
}

// The request already waits in the pipe, as it does when the bridge's peek has seen it.
bool MeasureInProcess()
{
    HANDLE requestRead = nullptr;
    HANDLE requestWrite = nullptr;
    HANDLE replyRead = nullptr;
    HANDLE replyWrite = nullptr;
    if (!CreatePipe(&requestRead, &requestWrite, nullptr, 1 << 16) ||
        !CreatePipe(&replyRead, &replyWrite, nullptr, 1 << 16))
    {
        return false;
    }
    StartSteamGameServer();
    // Registered for the rest of the process, as in the bridge.
    static FSteamHandler handler;
    std::vector<double> authenticate;
    std::vector<double> poll;
    std::vector<uint8_t> reply(64);
    for (int i = 0; i < InProcessRequests; ++i)
    {
        const bool isPoll = i % 2 == 1;
        const std::vector<uint8_t> request =
            isPoll ? EncodePollEvents()
                   : EncodeAuthenticate(ClientAddress, SampleTicket(static_cast<uint32_t>(i)));
        DWORD done = 0;
        WriteFile(requestWrite, request.data(), static_cast<DWORD>(request.size()), &done, nullptr);
        const double start = NowSeconds();
        HandleOneRequest(requestRead, replyWrite);
        const double elapsed = NowSeconds() - start;
        (isPoll ? poll : authenticate).push_back(elapsed);
        // Drains the reply; between the two the stand-in delivers the approve, so every poll carries one
        // event.
        DWORD waiting = 0;
        PeekNamedPipe(replyRead, nullptr, 0, nullptr, &waiting, nullptr);
        if (waiting > 0)
        {
            ReadFile(replyRead, reply.data(), waiting, &done, nullptr);
        }
        RunSteamCallbacks();
    }
    ShutdownSteamGameServer();
    std::printf(
        "Inside the bridge (HandleOneRequest in-process, stand-in Steam, request already waiting):\n");
    PrintRow("Authenticate", authenticate, 1e6, "us");
    PrintRow("PollEvents (one event)", poll, 1e6, "us");
    return true;
}
} // namespace

int main()
{
    const bool ok = MeasureThroughThePipe() && MeasureInProcess();
    return ok ? 0 : 1;
}
