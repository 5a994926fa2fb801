// released_programs_run: runs the programs of a release from its own folder, where the release check
// puts them beside it with the stand-in steam_api.dll and the sample licence. The bridge must answer
// an Authenticate through the stand-in and pass its approve notice on; Update.exe must show its
// licence and, declined, report that nothing was applied and end with exit code 0. Prints what it saw;
// exits with 0 when both behaved.
#include "BridgeParent.h"
#include "StandInTicket.h"
#include "TestFiles.h"
#include "UpdateScenario.h"

#include <cstdio>
#include <vector>

namespace
{
// Generous: the programs may run under an emulator on a loaded machine.
constexpr DWORD ReplyTimeoutMs = 30000;
constexpr int MaxPolls = 50;
constexpr DWORD PollIntervalMs = 200;

bool CheckBridge()
{
    constexpr uint64_t SteamId = 76561197960287930ull;
    constexpr uint32_t ClientAddress = 0xC0A80117;
    FBridgeParent bridge;
    FBridgeResult result = bridge.Start(ProgramFolder() + L"\\authbridge.exe", ProgramFolder());
    if (!result)
    {
        std::printf("authbridge.exe: cannot start: %s\n", result.Message().c_str());
        return false;
    }
    FAuthenticateReply reply;
    result = bridge.Authenticate(
        ClientAddress, EncodeStandInTicket(FStandInTicket{SteamId, EStandInVerdict::Approve, 0, 0, 0, 0}),
        reply, ReplyTimeoutMs);
    if (!result)
    {
        std::printf("authbridge.exe: Authenticate failed: %s\n", result.Message().c_str());
        return false;
    }
    std::printf("authbridge.exe: Authenticate answered: result %u, Steam ID %llu\n", reply.Result,
                static_cast<unsigned long long>(reply.SteamId));
    if (reply.Result != 1 || reply.SteamId != SteamId)
    {
        std::printf("authbridge.exe: expected result 1 and Steam ID %llu\n",
                    static_cast<unsigned long long>(SteamId));
        return false;
    }
    for (int poll = 0; poll < MaxPolls; ++poll)
    {
        std::vector<FBridgeEvent> events;
        result = bridge.PollEvents(events, ReplyTimeoutMs);
        if (!result)
        {
            std::printf("authbridge.exe: PollEvents failed: %s\n", result.Message().c_str());
            return false;
        }
        for (const FBridgeEvent& event : events)
        {
            std::printf("authbridge.exe: event %s for %llu, reason %d\n", EventTypeName(event.Type),
                        static_cast<unsigned long long>(event.SteamId), event.Reason);
        }
        if (!events.empty())
        {
            return events.size() == 1 && events[0].Type == EParentEventType::Approve &&
                   events[0].SteamId == SteamId;
        }
        Sleep(PollIntervalMs);
    }
    std::printf("authbridge.exe: no approve notice after %d polls\n", MaxPolls);
    return false;
}

bool CheckUpdate()
{
    FUpdateScenario scenario(L"released-update");
    if (!scenario.Ready())
    {
        std::printf("Update.exe: cannot prepare a folder to run it from\n");
        return false;
    }
    const FScenarioOutcome outcome = scenario.Run({{EAnswer::Decline}, {EAnswer::Ok}});
    for (const std::wstring& window : outcome.Windows)
    {
        std::printf("Update.exe: window %ls\n", window.c_str());
    }
    std::printf("Update.exe: %s, exit code %lu\n", outcome.Finished ? "ended" : "did not end",
                static_cast<unsigned long>(outcome.ExitCode));
    const std::vector<std::wstring> expected = {LicenceWindow(), MessageWindow(NotAppliedText)};
    return outcome.Started && outcome.Windows == expected && outcome.Finished && outcome.ExitCode == 0;
}
} // namespace

int main()
{
    const bool bridge = CheckBridge();
    const bool update = CheckUpdate();
    std::printf("authbridge.exe: %s\nUpdate.exe: %s\n", bridge ? "ok" : "FAILED", update ? "ok" : "FAILED");
    return bridge && update ? 0 : 1;
}
