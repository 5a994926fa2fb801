// What a parent may expect of the bridge, request by request. Authenticate replies follow from the
// stand-in library's ticket rules. Notices are only partly predictable from outside, because the
// bridge may idle through any number of cycles between two requests, so for each poll the model
// knows which events must be in it by then, which may be, and that nothing else can be.
#pragma once

#include "BridgeParent.h"
#include "BridgeSession.h"

#include <cstdint>
#include <string>
#include <vector>

class FProtocolModel
{
public:
    // Each request takes one bridge cycle and gets the next request number.

    // Returns the 12 bytes of the reply.
    std::vector<uint8_t> Authenticate(uint32_t clientAddress, const std::vector<uint8_t>& ticket);
    void Unknown();
    // Returns the poll's request number, for CheckPoll.
    uint32_t Poll();

    // The most events that the reply to this poll can carry.
    size_t MostEventsFor(uint32_t poll) const;
    // Empty when the events fit the model; otherwise what is wrong. Records them as received.
    std::string CheckPoll(uint32_t poll, const std::vector<FBridgeEvent>& events);

    bool AllDelivered() const;
    // The dispatches a notice may lag behind its request, at most.
    uint32_t LongestLag() const { return MaxOffset; }
    size_t ExpectedEventCount() const { return Expected.size(); }
    const std::vector<FBridgeEvent>& Received() const { return ReceivedEvents; }
    // The authenticate calls that the stand-in should log, in order.
    const std::vector<FLoggedAuthenticate>& SteamCalls() const { return Calls; }

private:
    struct FExpectedEvent
    {
        FBridgeEvent Event;
        // The request that scheduled it, and the dispatches after that request's own cycle
        // until Steam delivers it.
        uint32_t Request = 0;
        uint32_t Offset = 0;
        bool Received = false;
    };

    uint32_t Requests = 0;
    uint32_t MaxOffset = 0;
    std::vector<FExpectedEvent> Expected;
    std::vector<FBridgeEvent> ReceivedEvents;
    std::vector<FLoggedAuthenticate> Calls;
};
