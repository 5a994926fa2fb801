// The request/reply protocol with the parent on the standard streams, and the queue of Steam's
// notices that waits for the parent's next poll. Fixed-size little-endian fields, no framing.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

enum class EBridgeCommand : uint32_t
{
    Authenticate = 0,
    PollEvents = 1,
};

enum class EAuthEventType : int32_t
{
    Approve = 0,
    Deny = 1,
    Kick = 2,
};

// The same 16 bytes in memory and on the pipe.
struct FAuthEvent
{
    uint64_t SteamId;
    EAuthEventType Type;
    int32_t Reason;
};
static_assert(sizeof(FAuthEvent) == 16, "FAuthEvent is 16 bytes on the pipe");
static_assert(offsetof(FAuthEvent, Type) == 8 && offsetof(FAuthEvent, Reason) == 12, "FAuthEvent layout");

constexpr uint32_t AuthTicketBufferSize = 1024;

void AppendAuthEvent(const FAuthEvent& event);

// Reads exactly one request from the input and writes its reply, if it has one, to the output.
void HandleOneRequest(HANDLE input, HANDLE output);

// The PollEvents reply for the given events: the count, then every record, oldest first.
std::vector<uint8_t> BuildPollReply(const std::vector<FAuthEvent>& events);
