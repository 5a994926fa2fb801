/* Builds authentication tickets for the stand-in steam_api.dll, in C99 (and C++): a ticket names
 * the user and scripts the notices the stand-in delivers for it. The C counterpart of
 * StandInTicket.h; the bytes are the same.
 *
 * 32 bytes, every field little-endian:
 *    0  4  magic "KVT1"
 *    4  8  the user's Steam ID
 *   12  4  verdict: 0 approve, 1 deny, 2 refuse (the call fails but names the user; no notices)
 *   16  4  deny reason (signed; used by deny only)
 *   20  4  verdict delay: dispatches that pass without the verdict before it is delivered
 *   24  4  kick delay: dispatches after the verdict's until the kick; 0 means no kick
 *   28  4  kick reason (signed)
 *
 *     FKvStandInTicket fields = {76561197960287930ull, KvStandInApprove, 0, 1, 3, 6};
 *     uint8_t ticket[KVSTANDIN_TICKET_SIZE];
 *     KvStandInEncodeTicket(&fields, ticket);   // approve one dispatch late, kick 3 later, reason 6
 */
#ifndef KARVETH_STANDIN_TICKET_H
#define KARVETH_STANDIN_TICKET_H

#include <stdint.h>

#define KVSTANDIN_TICKET_SIZE 32u

enum EKvStandInVerdict
{
    KvStandInApprove = 0,
    KvStandInDeny = 1,
    KvStandInRefuse = 2
};

/* The fields in ticket order. */
typedef struct FKvStandInTicket
{
    uint64_t SteamId;
    uint32_t Verdict; /* EKvStandInVerdict; any other value makes bytes that are not a ticket */
    int32_t DenyReason;
    uint32_t VerdictDelay;
    uint32_t KickDelay;
    int32_t KickReason;
} FKvStandInTicket;

static inline void KvStandInPutLE(uint8_t* out, uint64_t value, unsigned size)
{
    unsigned i;
    for (i = 0; i < size; ++i)
    {
        out[i] = (uint8_t)(value >> (8 * i));
    }
}

/* Writes the ticket's KVSTANDIN_TICKET_SIZE bytes to out. */
static inline void KvStandInEncodeTicket(const FKvStandInTicket* ticket, uint8_t* out)
{
    out[0] = 'K';
    out[1] = 'V';
    out[2] = 'T';
    out[3] = '1';
    KvStandInPutLE(out + 4, ticket->SteamId, 8);
    KvStandInPutLE(out + 12, ticket->Verdict, 4);
    KvStandInPutLE(out + 16, (uint32_t)ticket->DenyReason, 4);
    KvStandInPutLE(out + 20, ticket->VerdictDelay, 4);
    KvStandInPutLE(out + 24, ticket->KickDelay, 4);
    KvStandInPutLE(out + 28, (uint32_t)ticket->KickReason, 4);
}

#endif
