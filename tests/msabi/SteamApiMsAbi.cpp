// A steam_api.dll built for Microsoft's C++ ABI, so that the MinGW-built bridge meets the calling
// conventions, vtable and object layouts that Steam's own library has: thiscall virtual functions on
// i686, callback objects read and called through their vtable as Microsoft's compiler lays them out.
// It judges tickets as the stand-in does and logs every call it receives and every Run it makes.
// No C or C++ runtime: Win32 calls only, every global constant-initialised (nothing would run a
// constructor), no heap.
#include "SteamApiMsAbi.h"
#include "StandInTicketFormat.h"
#include "Win32Kernel.h"

namespace SteamMsAbi
{
namespace
{
// One line of the call log, named by STEAM_STANDIN_LOG, written straight to the file in pieces.
class FLogLine
{
public:
    explicit FLogLine(const char* text) : File(OpenLog()), Used(0) { Text(text); }
    ~FLogLine()
    {
        Put('\n');
        Flush();
        if (File != InvalidHandleValue())
        {
            CloseHandle(File);
        }
    }
    FLogLine(const FLogLine&) = delete;
    FLogLine& operator=(const FLogLine&) = delete;

    FLogLine& Text(const char* text)
    {
        for (; text != nullptr && *text != '\0'; ++text)
        {
            Put(*text);
        }
        return *this;
    }

    // Decimal. Worked out in 16-bit pieces: a 64-bit division would need a runtime helper on i686.
    FLogLine& Unsigned(uint64 value)
    {
        constexpr int Pieces = 4;
        uint32 piece[Pieces] = {static_cast<uint32>(value >> 48), static_cast<uint32>(value >> 32) & 0xFFFF,
                                static_cast<uint32>(value >> 16) & 0xFFFF,
                                static_cast<uint32>(value) & 0xFFFF};
        char digits[20];
        int count = 0;
        do
        {
            uint32 remainder = 0;
            for (uint32& part : piece)
            {
                const uint32 current = (remainder << 16) | part;
                part = current / 10;
                remainder = current % 10;
            }
            digits[count++] = static_cast<char>('0' + remainder);
        } while ((piece[0] | piece[1] | piece[2] | piece[3]) != 0);
        while (count > 0)
        {
            Put(digits[--count]);
        }
        return *this;
    }

    FLogLine& Signed(int32 value)
    {
        if (value < 0)
        {
            Put('-');
            return Unsigned(0u - static_cast<uint32>(value));
        }
        return Unsigned(static_cast<uint32>(value));
    }

    // "0x" and eight digits.
    FLogLine& Hex32(uint32 value)
    {
        Text("0x");
        for (int shift = 28; shift >= 0; shift -= 4)
        {
            Put(Digits[(value >> shift) & 0xF]);
        }
        return *this;
    }

    FLogLine& HexBytes(const void* data, uint32 size)
    {
        const uint8* bytes = static_cast<const uint8*>(data);
        for (uint32 i = 0; bytes != nullptr && i < size; ++i)
        {
            Put(Digits[bytes[i] >> 4]);
            Put(Digits[bytes[i] & 0xF]);
        }
        return *this;
    }

private:
    static constexpr char Digits[] = "0123456789abcdef";

    static HANDLE OpenLog()
    {
        char path[MaxPath];
        const uint32 length = GetEnvironmentVariableA("STEAM_STANDIN_LOG", path, MaxPath);
        if (length == 0 || length >= MaxPath)
        {
            return InvalidHandleValue();
        }
        return CreateFileA(path, FileAppendData, FileShareRead | FileShareWrite, nullptr, OpenAlways,
                           FileAttributeNormal, nullptr);
    }

    void Put(char c)
    {
        if (Used == sizeof(Buffer))
        {
            Flush();
        }
        Buffer[Used++] = c;
    }

    void Flush()
    {
        uint32 written = 0;
        if (File != InvalidHandleValue() && Used > 0)
        {
            WriteFile(File, Buffer, Used, &written, nullptr);
        }
        Used = 0;
    }

    HANDLE File;
    char Buffer[256];
    uint32 Used;
};

struct FScheduledNotice
{
    uint64 DueDispatch;
    int CallbackId;
    uint64 SteamId;
    EDenyReason Reason;
};

class FGameServer : public ISteamGameServer
{
public:
    void ReservedSlot1() override { LogReservedSlot(1); }
    void ReservedSlot2() override { LogReservedSlot(2); }
    void ReservedSlot3() override { LogReservedSlot(3); }
    void ReservedSlot4() override { LogReservedSlot(4); }
    void ReservedSlot5() override { LogReservedSlot(5); }
    bool SendUserConnectAndAuthenticate(uint32 unIPClient, const void* pvAuthBlob, uint32 cubAuthBlobSize,
                                        CSteamID* pSteamIDUser) override;

private:
    // A call that lands in a slot the bridge never means to use shows a vtable that disagrees.
    void LogReservedSlot(int slot) const
    {
        FLogLine("Slot").Text(" slot=").Unsigned(slot).Text(ObjectText());
    }
    const char* ObjectText() const;
};

constexpr uint32 MaxCallbacks = 16;
constexpr uint32 MaxScheduled = 256;

FGameServer GameServer;
bool Running = false;
uint64 DispatchCount = 0;
CCallbackBase* Callbacks[MaxCallbacks] = {};
uint32 CallbackCount = 0;
FScheduledNotice Scheduled[MaxScheduled] = {};
uint32 ScheduledCount = 0;
// The notices of one dispatch, taken out of the schedule before any is delivered.
FScheduledNotice Due[MaxScheduled] = {};

// Whether the member function was called on the interface object: on i686 the object arrives in ECX.
const char* FGameServer::ObjectText() const
{
    return this == &GameServer ? " object=interface" : " object=other";
}

void Schedule(uint64 dueDispatch, int callbackId, uint64 steamId, EDenyReason reason)
{
    if (ScheduledCount == MaxScheduled)
    {
        FLogLine("ScheduleFull callback=").Unsigned(callbackId).Text(" steamid=").Unsigned(steamId);
        return;
    }
    Scheduled[ScheduledCount++] = FScheduledNotice{dueDispatch, callbackId, steamId, reason};
}

bool FGameServer::SendUserConnectAndAuthenticate(uint32 unIPClient, const void* pvAuthBlob,
                                                 uint32 cubAuthBlobSize, CSteamID* pSteamIDUser)
{
    const uint64 given = pSteamIDUser->m_unAll64Bits;
    FStandInTicket ticket;
    const bool wellFormed = DecodeStandInTicket(pvAuthBlob, cubAuthBlobSize, ticket);
    // A refused ticket still names its user, as Steam may.
    if (wellFormed)
    {
        pSteamIDUser->m_unAll64Bits = ticket.SteamId;
    }
    const bool accepted = wellFormed && ticket.Verdict != EStandInVerdict::Refuse;
    if (accepted)
    {
        const uint64 verdictDue = DispatchCount + 1 + ticket.VerdictDelay;
        if (ticket.Verdict == EStandInVerdict::Approve)
        {
            Schedule(verdictDue, GSClientApprove_t::k_iCallback, ticket.SteamId, 0);
        }
        else
        {
            Schedule(verdictDue, GSClientDeny_t::k_iCallback, ticket.SteamId, ticket.DenyReason);
        }
        if (ticket.KickDelay != 0)
        {
            Schedule(verdictDue + ticket.KickDelay, GSClientKick_t::k_iCallback, ticket.SteamId,
                     ticket.KickReason);
        }
    }
    FLogLine("Authenticate")
        .Text(ObjectText())
        .Text(" ip=")
        .Hex32(unIPClient)
        .Text(" length=")
        .Unsigned(cubAuthBlobSize)
        .Text(" ticket=")
        .HexBytes(pvAuthBlob, cubAuthBlobSize)
        .Text(" steamid-given=")
        .Unsigned(given)
        .Text(" result=")
        .Unsigned(accepted ? 1 : 0)
        .Text(" steamid=")
        .Unsigned(pSteamIDUser->m_unAll64Bits);
    return accepted;
}

// The stack pointer, read around each call of Run. Code built for Microsoft's ABI relies on Run, a
// thiscall function on i686, removing its own argument; a Run that did not would leave the stack off.
uintptr_t StackPointer()
{
    uintptr_t pointer;
#if defined(_M_IX86)
    __asm__ volatile("movl %%esp, %0" : "=r"(pointer));
#else
    __asm__ volatile("movq %%rsp, %0" : "=r"(pointer));
#endif
    return pointer;
}

// One callback's Run, made as code built for Microsoft's ABI makes it: through the object's vtable, the
// object in ECX on i686 and the record's address on the stack.
void RunCallback(uint32 index, CCallbackBase* callback, void* record)
{
    const uintptr_t before = StackPointer();
    callback->Run(record);
    const uintptr_t after = StackPointer();
    FLogLine line("Run callback=");
    line.Unsigned(callback->m_iCallback).Text(" object=").Unsigned(index + 1);
    if (before == after)
    {
        line.Text(" stack=balanced");
    }
    else
    {
        line.Text(" stack=off-by=").Signed(static_cast<int32>(after - before));
    }
}

void Deliver(const FScheduledNotice& notice)
{
    GSClientApprove_t approve = {{notice.SteamId}};
    GSClientDeny_t deny = {{notice.SteamId}, notice.Reason};
    GSClientKick_t kick = {{notice.SteamId}, notice.Reason};
    void* record = &kick;
    if (notice.CallbackId == GSClientApprove_t::k_iCallback)
    {
        record = &approve;
    }
    else if (notice.CallbackId == GSClientDeny_t::k_iCallback)
    {
        record = &deny;
    }
    FLogLine("Notice callback=")
        .Unsigned(notice.CallbackId)
        .Text(" steamid=")
        .Unsigned(notice.SteamId)
        .Text(" reason=")
        .Signed(notice.Reason);
    for (uint32 i = 0; i < CallbackCount; ++i)
    {
        CCallbackBase* callback = Callbacks[i];
        if (callback->m_iCallback == notice.CallbackId &&
            (callback->m_nCallbackFlags & CCallbackBase::k_ECallbackFlagsGameServer) != 0)
        {
            RunCallback(i, callback, record);
        }
    }
}
} // namespace

S_API bool S_CALLTYPE SteamGameServer_Init(uint32 unIP, uint16 usSteamPort, uint16 usGamePort,
                                           uint16 usSpectatorPort, uint16 usQueryPort,
                                           EServerMode eServerMode, const char* pchGameDir,
                                           const char* pchVersionString)
{
    Running = true;
    FLogLine("Init ip=")
        .Unsigned(unIP)
        .Text(" steamport=")
        .Unsigned(usSteamPort)
        .Text(" gameport=")
        .Unsigned(usGamePort)
        .Text(" spectatorport=")
        .Unsigned(usSpectatorPort)
        .Text(" queryport=")
        .Unsigned(usQueryPort)
        .Text(" mode=")
        .Signed(eServerMode)
        .Text(" gamedir=")
        .Text(pchGameDir != nullptr ? pchGameDir : "(null)")
        .Text(" version=")
        .Text(pchVersionString != nullptr ? pchVersionString : "(null)")
        .Text(" result=1");
    return true;
}

S_API void S_CALLTYPE SteamAPI_RegisterCallback(CCallbackBase* pCallback, int iCallback)
{
    pCallback->m_iCallback = iCallback;
    pCallback->m_nCallbackFlags |= CCallbackBase::k_ECallbackFlagsRegistered;
    FLogLine line("RegisterCallback callback=");
    line.Signed(iCallback).Text(" flags=").Unsigned(pCallback->m_nCallbackFlags);
    if (CallbackCount == MaxCallbacks)
    {
        line.Text(" object=none");
        return;
    }
    Callbacks[CallbackCount++] = pCallback;
    line.Text(" object=").Unsigned(CallbackCount);
}

S_API ISteamGameServer* S_CALLTYPE SteamGameServer()
{
    FLogLine("SteamGameServer result=").Text(Running ? "interface" : "null");
    return Running ? &GameServer : nullptr;
}

// Logged only through the notices it delivers: the bridge dispatches every 60 ms.
S_API void S_CALLTYPE SteamGameServer_RunCallbacks()
{
    ++DispatchCount;
    uint32 dueCount = 0;
    uint32 waiting = 0;
    for (uint32 i = 0; i < ScheduledCount; ++i)
    {
        if (Scheduled[i].DueDispatch <= DispatchCount)
        {
            Due[dueCount++] = Scheduled[i];
        }
        else
        {
            Scheduled[waiting++] = Scheduled[i];
        }
    }
    ScheduledCount = waiting;
    for (uint32 i = 0; i < dueCount; ++i)
    {
        Deliver(Due[i]);
    }
}

S_API void S_CALLTYPE SteamGameServer_Shutdown()
{
    Running = false;
    ScheduledCount = 0;
    const FLogLine line("Shutdown");
}
} // namespace SteamMsAbi

// The DLL's entry point in place of a runtime's: nothing to set up.
extern "C" int __stdcall SteamApiMsAbiEntry(void* /*module*/, uint32_t /*reason*/, void* /*reserved*/)
{
    return 1;
}
