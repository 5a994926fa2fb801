// The wire format as the parent sees it: little-endian fields, the two requests, their replies.
#pragma once

#include "BridgeParent.h"

#include <cstdint>
#include <vector>

constexpr size_t AuthenticateReplySize = 12;
constexpr size_t PollCountSize = 4;
constexpr size_t EventRecordSize = 16;

void PutLE(std::vector<uint8_t>& out, uint64_t value, int size);
uint64_t GetLE(const uint8_t* in, int size);

FAuthenticateReply DecodeAuthenticateReply(const uint8_t* bytes);
// The event count that opens a PollEvents reply.
uint32_t PollCount(const uint8_t* countBytes);
// The size of a whole PollEvents reply of count events, count at most MaxPollEvents.
size_t PollReplySize(uint32_t count);
// The events of a whole PollEvents reply of count events.
std::vector<FBridgeEvent> DecodePollReply(const uint8_t* bytes, uint32_t count);
