// bridge_demo: starts authbridge.exe from its own folder, authenticates a few sample tickets in the
// stand-in Steam library's format, polls until their notices have arrived and prints a transcript.
#include "BridgeParent.h"
#include "StandInTicket.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

namespace
{
constexpr int MaxPolls = 25;
constexpr DWORD PollIntervalMs = 200;

struct FSample
{
    uint32_t ClientAddress;
    std::vector<uint8_t> Ticket;
    std::string Description;
    // Notices the parent should see for this ticket.
    int ExpectedEvents;
};

std::vector<FSample> Samples()
{
    std::vector<uint8_t> cutShort =
        EncodeStandInTicket(FStandInTicket{76561197960287931ull, EStandInVerdict::Approve, 0, 0, 0, 0});
    cutShort.resize(20);
    return {
        {0xC0A80117,
         EncodeStandInTicket(FStandInTicket{76561197960287930ull, EStandInVerdict::Approve, 0, 0, 0, 0}),
         "approve 76561197960287930", 1},
        {0x0A000007,
         EncodeStandInTicket(FStandInTicket{76561198012345678ull, EStandInVerdict::Deny, 2, 0, 0, 0}),
         "deny 76561198012345678 with reason 2", 1},
        {0xAC100402,
         EncodeStandInTicket(FStandInTicket{76561198087654321ull, EStandInVerdict::Approve, 0, 0, 5, 9}),
         "approve 76561198087654321, then kick it 5 dispatches later with reason 9", 2},
        {0xCB007105, cutShort, "malformed: a valid ticket cut short", 0},
    };
}

std::string DottedAddress(uint32_t address)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
                  (address >> 8) & 0xFF, address & 0xFF);
    return text;
}

std::string DescribeSteamId(uint64_t steamId)
{
    if (steamId == 0)
    {
        return "0 (invalid)";
    }
    char text[160];
    std::snprintf(text, sizeof(text), "%llu (universe %u, account type %u, instance %u, account %u)",
                  static_cast<unsigned long long>(steamId), static_cast<unsigned>(steamId >> 56),
                  static_cast<unsigned>((steamId >> 52) & 0xF),
                  static_cast<unsigned>((steamId >> 32) & 0xFFFFF),
                  static_cast<unsigned>(steamId & 0xFFFFFFFF));
    return text;
}

// authbridge.exe beside this program, as a server would ship it beside its own executable.
std::wstring BridgePath()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\')) + L"\\authbridge.exe";
}

bool AuthenticateSample(FBridgeParent& bridge, const FSample& sample)
{
    std::printf("> Authenticate  client %s (0x%08X), ticket of %u bytes: %s\n",
                DottedAddress(sample.ClientAddress).c_str(), sample.ClientAddress,
                static_cast<unsigned>(sample.Ticket.size()), sample.Description.c_str());
    FAuthenticateReply reply;
    const FBridgeResult result = bridge.Authenticate(sample.ClientAddress, sample.Ticket, reply);
    if (!result)
    {
        std::printf("< no reply: %s\n", result.Message().c_str());
        return false;
    }
    std::printf("< result %u (%s), Steam ID %s\n\n", reply.Result,
                reply.Result == 1 ? "ticket accepted" : "ticket refused",
                DescribeSteamId(reply.SteamId).c_str());
    return true;
}

// Polls until the expected number of notices has arrived, or gives up after MaxPolls.
bool PollUntil(FBridgeParent& bridge, int expected)
{
    int received = 0;
    for (int poll = 0; poll < MaxPolls && received < expected; ++poll)
    {
        if (poll > 0)
        {
            Sleep(PollIntervalMs);
        }
        std::printf("> PollEvents\n");
        std::vector<FBridgeEvent> events;
        const FBridgeResult result = bridge.PollEvents(events);
        if (!result)
        {
            std::printf("< no reply: %s\n", result.Message().c_str());
            return false;
        }
        std::printf("< %u event%s\n", static_cast<unsigned>(events.size()), events.size() == 1 ? "" : "s");
        for (const FBridgeEvent& event : events)
        {
            std::printf("    %-7s  Steam ID %llu  reason %d\n", EventTypeName(event.Type),
                        static_cast<unsigned long long>(event.SteamId), event.Reason);
        }
        std::fflush(stdout);
        received += static_cast<int>(events.size());
    }
    std::printf("\n%d of %d expected notices arrived.\n", received, expected);
    return received == expected;
}
} // namespace

int main()
{
    // Plain line ends, so the transcript reads the same in a terminal, a pipe or a file.
    _setmode(_fileno(stdout), _O_BINARY);

    const std::wstring bridgePath = BridgePath();
    std::printf("authbridge demo: %ls\n", bridgePath.c_str());
    std::printf("The stand-in steam_api.dll beside it judges each ticket by its own bytes. Authenticate\n"
                "answers at once; the approve, deny and kick notices come later, with the polls.\n\n");
    FBridgeParent bridge;
    const FBridgeResult started = bridge.Start(bridgePath);
    if (!started)
    {
        std::printf("%s\n", started.Message().c_str());
        return 1;
    }
    std::printf("Bridge process %lu, %s.\n", bridge.ProcessId(),
                bridge.IsProtected() ? "ended by Windows if this program ends"
                                     : "NOT tied to this program's life");
    // A bridge that cannot run (no steam_api.dll beside it, ...) is found now, not at the first ticket.
    const FBridgeResult serving = bridge.CheckServing();
    if (!serving)
    {
        std::printf("%s\n", serving.Message().c_str());
        return 1;
    }
    std::printf("It serves: one poll answered.\n\n");

    int expected = 0;
    for (const FSample& sample : Samples())
    {
        if (!AuthenticateSample(bridge, sample))
        {
            return 1;
        }
        expected += sample.ExpectedEvents;
    }
    std::fflush(stdout);
    const bool complete = PollUntil(bridge, expected);

    // Otherwise the bridge would wait out its 900-second idle limit.
    std::printf("Stopping the bridge.\n");
    bridge.Kill();
    return complete ? 0 : 1;
}
