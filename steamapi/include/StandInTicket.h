// The authentication ticket format understood by the stand-in steam_api.dll, with an encoder for
// the tools that make sample tickets. A ticket names the user and scripts the notices that the
// stand-in delivers for it.
#pragma once

#include "StandInTicketFormat.h"

#include <cstdint>
#include <vector>

namespace StandInTicketDetail
{
inline void PutLE(std::vector<uint8_t>& out, uint64_t value, int size)
{
    for (int i = 0; i < size; ++i)
    {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}
} // namespace StandInTicketDetail

inline std::vector<uint8_t> EncodeStandInTicket(const FStandInTicket& ticket)
{
    using StandInTicketDetail::PutLE;
    std::vector<uint8_t> out(StandInTicketMagic, StandInTicketMagic + sizeof(StandInTicketMagic));
    PutLE(out, ticket.SteamId, 8);
    PutLE(out, static_cast<uint32_t>(ticket.Verdict), 4);
    PutLE(out, static_cast<uint32_t>(ticket.DenyReason), 4);
    PutLE(out, ticket.VerdictDelay, 4);
    PutLE(out, ticket.KickDelay, 4);
    PutLE(out, static_cast<uint32_t>(ticket.KickReason), 4);
    return out;
}
