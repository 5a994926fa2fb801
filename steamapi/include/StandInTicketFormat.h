// The authentication ticket format understood by the stand-in steam_api.dll: its layout and its
// decoder. Needs no C or C++ runtime, so that the test library built for Microsoft's ABI without one
// judges tickets exactly as the stand-in does. Encoding, for tools that make sample tickets, is in
// StandInTicket.h; authbridge never looks inside a ticket.
#pragma once

#include <stdint.h>

enum class EStandInVerdict : uint32_t
{
    Approve = 0,
    Deny = 1,
    // Refused at once: the authenticate call fails, yet fills in the Steam ID; no notice follows.
    Refuse = 2,
};

// 32 bytes, every field little-endian:
//   0  4  magic "KVT1"
//   4  8  the user's Steam ID
//  12  4  verdict: 0 approve, 1 deny, 2 refuse
//  16  4  deny reason (signed; used by deny only)
//  20  4  verdict delay: dispatches that pass without the verdict before it is delivered
//  24  4  kick delay: dispatches after the verdict's until the kick; 0 means no kick
//  28  4  kick reason (signed)
// The fields in ticket order, so that FStandInTicket{id, verdict, denyReason, verdictDelay, kickDelay,
// kickReason} reads as the ticket does.
struct FStandInTicket
{
    uint64_t SteamId = 0;
    EStandInVerdict Verdict = EStandInVerdict::Approve;
    int32_t DenyReason = 0;
    uint32_t VerdictDelay = 0;
    uint32_t KickDelay = 0;
    int32_t KickReason = 0;
};

constexpr uint32_t StandInTicketSize = 32;
constexpr char StandInTicketMagic[4] = {'K', 'V', 'T', '1'};

namespace StandInTicketDetail
{
inline uint64_t GetLE(const uint8_t* in, int size)
{
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i)
    {
        value = (value << 8) | in[i];
    }
    return value;
}
} // namespace StandInTicketDetail

// True when the bytes are exactly one well-formed ticket.
inline bool DecodeStandInTicket(const void* data, uint32_t size, FStandInTicket& ticket)
{
    using StandInTicketDetail::GetLE;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (data == nullptr || size != StandInTicketSize)
    {
        return false;
    }
    for (uint32_t i = 0; i < sizeof(StandInTicketMagic); ++i)
    {
        if (bytes[i] != static_cast<uint8_t>(StandInTicketMagic[i]))
        {
            return false;
        }
    }
    const uint32_t verdict = static_cast<uint32_t>(GetLE(bytes + 12, 4));
    if (verdict > static_cast<uint32_t>(EStandInVerdict::Refuse))
    {
        return false;
    }
    ticket.SteamId = GetLE(bytes + 4, 8);
    ticket.Verdict = static_cast<EStandInVerdict>(verdict);
    ticket.DenyReason = static_cast<int32_t>(GetLE(bytes + 16, 4));
    ticket.VerdictDelay = static_cast<uint32_t>(GetLE(bytes + 20, 4));
    ticket.KickDelay = static_cast<uint32_t>(GetLE(bytes + 24, 4));
    ticket.KickReason = static_cast<int32_t>(GetLE(bytes + 28, 4));
    return true;
}
