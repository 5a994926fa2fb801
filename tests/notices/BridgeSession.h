// A real authbridge.exe from this program's folder, driven through FBridgeParent, with the stand-in
// Steam library logging every call it receives into a file of this session's own.
#pragma once

#include "BridgeParent.h"
#include "StandInTicket.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// One notice as the stand-in logged it when it delivered it ("Notice callback=... steamid=... reason=...").
struct FLoggedNotice
{
    int CallbackId = 0;
    uint64_t SteamId = 0;
    int32_t Reason = 0;
};

// One call of the authenticate operation as the stand-in logged it.
struct FLoggedAuthenticate
{
    uint32_t Address = 0;
    uint32_t Length = 0;
    uint32_t Result = 0;
    uint64_t SteamId = 0;
};

class FBridgeSession
{
public:
    FBridgeSession();
    FBridgeSession(const FBridgeSession&) = delete;
    FBridgeSession& operator=(const FBridgeSession&) = delete;
    // Ends the bridge and removes the log.
    ~FBridgeSession();

    bool Start();

    std::vector<std::string> LogLines() const;
    std::vector<FLoggedNotice> LoggedNotices() const;
    std::vector<FLoggedAuthenticate> LoggedAuthenticates() const;
    // True once the stand-in has delivered at least count notices.
    bool WaitForLoggedNotices(size_t count, DWORD timeoutMs);
    // True while the bridge process has not ended.
    bool IsRunning() const;

    FBridgeParent Parent;

private:
    std::wstring LogPath;
};

// An event that a ticket scripts, and how many dispatches after its own request's it falls due.
struct FScriptedEvent
{
    uint32_t Offset = 0;
    FBridgeEvent Event;
};

// The events a well-formed ticket scripts, in the order the stand-in schedules them.
std::vector<FScriptedEvent> ScriptedEvents(const FStandInTicket& ticket);

// The events a parent should see for delivered notices: approve always carries -1.
std::vector<FBridgeEvent> EventsForNotices(const std::vector<FLoggedNotice>& notices);

bool operator==(const FBridgeEvent& a, const FBridgeEvent& b);
// How GoogleTest shows an event in a failure message.
void PrintTo(const FBridgeEvent& event, std::ostream* out);

// A Steam ID of an individual account in the public universe.
uint64_t IndividualSteamId(uint32_t account);
