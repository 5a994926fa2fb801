#include "ProtocolModel.h"

#include "BridgeSession.h"
#include "StandInTicket.h"
#include "WireBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

namespace
{
// Longer tickets are read and dropped without asking Steam.
constexpr uint32_t LargestTicket = 1024;

} // namespace

std::vector<uint8_t> FProtocolModel::Authenticate(uint32_t clientAddress, const std::vector<uint8_t>& ticket)
{
    const uint32_t request = Requests++;
    FStandInTicket decoded;
    const uint32_t size = static_cast<uint32_t>(ticket.size());
    bool accepted = false;
    if (size <= LargestTicket)
    {
        accepted = DecodeStandInTicket(ticket.data(), size, decoded);
        Calls.push_back({clientAddress, size, accepted ? 1u : 0u, accepted ? decoded.SteamId : 0});
    }
    if (accepted)
    {
        const std::vector<FScriptedEvent> events = ScriptedEvents(decoded);
        std::transform(events.begin(), events.end(), std::back_inserter(Expected),
                       [request](const FScriptedEvent& scripted) {
                           return FExpectedEvent{scripted.Event, request, scripted.Offset};
                       });
        MaxOffset = std::max(MaxOffset, decoded.VerdictDelay + decoded.KickDelay);
    }
    return Concat({LE32(accepted ? 1 : 0), LE64(accepted ? decoded.SteamId : 0)});
}

void FProtocolModel::Unknown()
{
    ++Requests;
}

uint32_t FProtocolModel::Poll()
{
    return Requests++;
}

size_t FProtocolModel::MostEventsFor(uint32_t poll) const
{
    return static_cast<size_t>(std::count_if(Expected.begin(), Expected.end(),
                                             [poll](const FExpectedEvent& expected)
                                             { return !expected.Received && expected.Request < poll; }));
}

std::string FProtocolModel::CheckPoll(uint32_t poll, const std::vector<FBridgeEvent>& events)
{
    for (const FBridgeEvent& event : events)
    {
        const auto match = std::find_if(Expected.begin(), Expected.end(),
                                        [&](const FExpectedEvent& expected)
                                        {
                                            return !expected.Received && expected.Request < poll &&
                                                   expected.Event.SteamId == event.SteamId &&
                                                   expected.Event.Type == event.Type;
                                        });
        if (match == Expected.end())
        {
            return "unexpected or repeated event " + ::testing::PrintToString(event);
        }
        if (match->Event.Reason != event.Reason)
        {
            return "event " + ::testing::PrintToString(event) + " should have reason " +
                   std::to_string(match->Event.Reason);
        }
        // A user's kick is scheduled behind the verdict and falls due later.
        if (event.Type == EParentEventType::Kick &&
            std::any_of(Expected.begin(), Expected.end(),
                        [&event](const FExpectedEvent& other)
                        {
                            return other.Event.SteamId == event.SteamId &&
                                   other.Event.Type != EParentEventType::Kick && !other.Received;
                        }))
        {
            return "kick " + ::testing::PrintToString(event) + " came before its verdict";
        }
        match->Received = true;
        ReceivedEvents.push_back(event);
    }
    // Requests take a cycle each, so this poll is served at least (poll - request) cycles after the
    // request; a notice that fell due in an earlier cycle's dispatch is queued by now.
    const auto missing = std::find_if(Expected.begin(), Expected.end(),
                                      [poll](const FExpectedEvent& expected) {
                                          return !expected.Received && expected.Request < poll &&
                                                 poll - expected.Request > expected.Offset;
                                      });
    if (missing != Expected.end())
    {
        return "missing event " + ::testing::PrintToString(missing->Event) + ", due before this poll";
    }
    return std::string();
}

bool FProtocolModel::AllDelivered() const
{
    return std::all_of(Expected.begin(), Expected.end(),
                       [](const FExpectedEvent& expected) { return expected.Received; });
}
