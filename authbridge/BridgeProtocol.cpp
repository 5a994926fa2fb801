#include "BridgeProtocol.h"

#include "SteamGameServerCalls.h"

namespace
{
std::vector<FAuthEvent> PendingAuthEvents;
uint8_t AuthTicketBuffer[AuthTicketBufferSize];

// A pipe read returns what has arrived so far, so a field may take several reads. False only when
// a read fails, which means the parent's end is gone.
bool ReadExact(HANDLE input, void* buffer, uint32_t size)
{
    uint8_t* next = static_cast<uint8_t*>(buffer);
    while (size > 0)
    {
        DWORD read = 0;
        if (!ReadFile(input, next, size, &read, nullptr))
        {
            return false;
        }
        next += read;
        size -= read;
    }
    return true;
}

bool ReadUint32(HANDLE input, uint32_t& value)
{
    uint8_t bytes[4];
    if (!ReadExact(input, bytes, sizeof(bytes)))
    {
        return false;
    }
    value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
            static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return true;
}

// Reads and drops a ticket too long for the buffer, so that the next request starts where it should.
bool DiscardBytes(HANDLE input, uint32_t size)
{
    while (size > 0)
    {
        const uint32_t chunk = size < AuthTicketBufferSize ? size : AuthTicketBufferSize;
        if (!ReadExact(input, AuthTicketBuffer, chunk))
        {
            return false;
        }
        size -= chunk;
    }
    return true;
}

void PutUint32(uint8_t* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
    {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void PutUint64(uint8_t* out, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
    {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void WriteAll(HANDLE output, const uint8_t* data, size_t size)
{
    while (size > 0)
    {
        const DWORD chunk = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(output, data, chunk, &written, nullptr) || written == 0)
        {
            return;
        }
        data += written;
        size -= written;
    }
}

void HandleAuthenticate(HANDLE input, HANDLE output)
{
    uint32_t clientAddress = 0;
    uint32_t ticketSize = 0;
    if (!ReadUint32(input, clientAddress) || !ReadUint32(input, ticketSize))
    {
        return;
    }

    uint64_t steamId = 0;
    bool accepted = false;
    if (ticketSize > AuthTicketBufferSize)
    {
        if (!DiscardBytes(input, ticketSize))
        {
            return;
        }
    }
    else
    {
        if (!ReadExact(input, AuthTicketBuffer, ticketSize))
        {
            return;
        }
        accepted = AuthenticateWithSteam(clientAddress, AuthTicketBuffer, ticketSize, steamId);
    }

    uint8_t reply[12];
    PutUint32(reply, accepted ? 1 : 0);
    PutUint64(reply + 4, steamId);
    WriteAll(output, reply, sizeof(reply));
}

void HandlePollEvents(HANDLE output)
{
    const std::vector<uint8_t> reply = BuildPollReply(PendingAuthEvents);
    WriteAll(output, reply.data(), reply.size());
    // Released, not just cleared: a burst of notices should not pin its memory until exit.
    std::vector<FAuthEvent>().swap(PendingAuthEvents);
}
} // namespace

void AppendAuthEvent(const FAuthEvent& event)
{
    PendingAuthEvents.push_back(event);
}

std::vector<uint8_t> BuildPollReply(const std::vector<FAuthEvent>& events)
{
    std::vector<uint8_t> reply(4 + events.size() * sizeof(FAuthEvent));
    PutUint32(reply.data(), static_cast<uint32_t>(events.size()));
    uint8_t* out = reply.data() + 4;
    for (const FAuthEvent& event : events)
    {
        PutUint64(out, event.SteamId);
        PutUint32(out + 8, static_cast<uint32_t>(event.Type));
        PutUint32(out + 12, static_cast<uint32_t>(event.Reason));
        out += sizeof(FAuthEvent);
    }
    return reply;
}

void HandleOneRequest(HANDLE input, HANDLE output)
{
    uint32_t code = 0;
    if (!ReadUint32(input, code))
    {
        return;
    }
    switch (static_cast<EBridgeCommand>(code))
    {
    case EBridgeCommand::Authenticate:
        HandleAuthenticate(input, output);
        break;
    case EBridgeCommand::PollEvents:
        HandlePollEvents(output);
        break;
    default:
        // Unknown codes consume their 4 bytes and get no reply.
        break;
    }
}
