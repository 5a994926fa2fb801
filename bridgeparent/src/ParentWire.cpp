#include "ParentWire.h"

void PutLE(std::vector<uint8_t>& out, uint64_t value, int size)
{
    for (int i = 0; i < size; ++i)
    {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

uint64_t GetLE(const uint8_t* in, int size)
{
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i)
    {
        value = (value << 8) | in[i];
    }
    return value;
}

std::vector<uint8_t> EncodeAuthenticate(uint32_t clientAddress, const std::vector<uint8_t>& ticket)
{
    std::vector<uint8_t> bytes;
    PutLE(bytes, static_cast<uint32_t>(EParentRequest::Authenticate), 4);
    PutLE(bytes, clientAddress, 4);
    PutLE(bytes, ticket.size(), 4);
    bytes.insert(bytes.end(), ticket.begin(), ticket.end());
    return bytes;
}

std::vector<uint8_t> EncodePollEvents()
{
    std::vector<uint8_t> bytes;
    PutLE(bytes, static_cast<uint32_t>(EParentRequest::PollEvents), 4);
    return bytes;
}

FAuthenticateReply DecodeAuthenticateReply(const uint8_t* bytes)
{
    FAuthenticateReply reply;
    reply.Result = static_cast<uint32_t>(GetLE(bytes, 4));
    reply.SteamId = GetLE(bytes + 4, 8);
    return reply;
}

uint32_t PollCount(const uint8_t* countBytes)
{
    return static_cast<uint32_t>(GetLE(countBytes, 4));
}

size_t PollReplySize(uint32_t count)
{
    static_assert(PollCountSize + size_t{MaxPollEvents} * EventRecordSize <= UINT32_MAX,
                  "the largest reply's size fits in 32 bits, so no size_t can wrap");
    return PollCountSize + static_cast<size_t>(count) * EventRecordSize;
}

std::vector<FBridgeEvent> DecodePollReply(const uint8_t* bytes, uint32_t count)
{
    std::vector<FBridgeEvent> events(count);
    const uint8_t* record = bytes + PollCountSize;
    for (FBridgeEvent& event : events)
    {
        event.SteamId = GetLE(record, 8);
        event.Type = static_cast<EParentEventType>(static_cast<int32_t>(GetLE(record + 8, 4)));
        event.Reason = static_cast<int32_t>(GetLE(record + 12, 4));
        record += EventRecordSize;
    }
    return events;
}
