// Offline stand-in for Steam's game-server library. Deterministic: a ticket's own bytes decide the
// verdict and script the notices (see StandInTicket.h), which are delivered only from
// SteamGameServer_RunCallbacks, in the order they were scheduled.
#include "steam_api.h"
#include "StandInTicket.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace
{
struct FScheduledNotice
{
    uint64 DueDispatch;
    int CallbackId;
    CSteamID SteamId;
    EDenyReason Reason;
};

class FStandInGameServer : public ISteamGameServer
{
public:
    void ReservedSlot0() override {}
    void ReservedSlot1() override {}
    void ReservedSlot2() override {}
    void ReservedSlot3() override {}
    void ReservedSlot4() override {}
    bool SendUserConnectAndAuthenticate(uint32 unIPClient, const void* pvAuthBlob, uint32 cubAuthBlobSize,
                                        CSteamID* pSteamIDUser) override;
};

// The init-fail variant of the library lets tests see how a caller copes with a Steam that never starts.
#if defined(STEAM_STANDIN_INIT_FAILS)
constexpr bool InitSucceeds = false;
#else
constexpr bool InitSucceeds = true;
#endif

FStandInGameServer GameServer;
bool Running = false;
uint64 DispatchCount = 0;
std::vector<CCallbackBase*> Callbacks;
std::vector<FScheduledNotice> Scheduled;
// The Steam port this game server holds, when the port is modelled.
HANDLE HeldPort = nullptr;

enum class EPortState
{
    NotModelled,
    Free,
    Held,
};

// Only one game server can have Steam's port. When STEAM_STANDIN_PORT_OBJECT names a kernel object,
// the port is a mutex of that name and the port number: the first game server creates it and holds
// it until its shutdown or its end, and a second one on the same port finds it and fails its
// start-up. Off unless a test asks for it, so that bridges of tests running side by side never meet.
EPortState TakePort(uint16 port)
{
    constexpr DWORD LongestPrefix = 200;
    wchar_t prefix[LongestPrefix];
    const DWORD length = GetEnvironmentVariableW(L"STEAM_STANDIN_PORT_OBJECT", prefix, LongestPrefix);
    if (length == 0 || length >= LongestPrefix)
    {
        return EPortState::NotModelled;
    }
    const std::wstring name = std::wstring(prefix) + L"-" + std::to_wstring(port);
    HANDLE object = CreateMutexW(nullptr, FALSE, name.c_str());
    if (object == nullptr || GetLastError() == ERROR_ALREADY_EXISTS)
    {
        if (object != nullptr)
        {
            CloseHandle(object);
        }
        return EPortState::Held;
    }
    HeldPort = object;
    return EPortState::Free;
}

// What the start-up line of the log says of the port.
const char* PortLogText(EPortState state)
{
    switch (state)
    {
    case EPortState::Free:
        return " port=free";
    case EPortState::Held:
        return " port=held";
    case EPortState::NotModelled:
        break;
    }
    return "";
}

void ReleasePort()
{
    if (HeldPort != nullptr)
    {
        CloseHandle(HeldPort);
        HeldPort = nullptr;
    }
}

// When STEAM_STANDIN_LOG names a file, every call is appended to it as one line, so that tests
// and integrators can see exactly what reached Steam.
void Log(const std::string& line)
{
    char path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("STEAM_STANDIN_LOG", path, sizeof(path));
    if (length == 0 || length >= sizeof(path))
    {
        return;
    }
    FILE* file = std::fopen(path, "ab");
    if (file != nullptr)
    {
        std::fprintf(file, "%s\n", line.c_str());
        std::fclose(file);
    }
}

std::string Format(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

std::string Hex(const void* data, uint32 size)
{
    static const char Digits[] = "0123456789abcdef";
    std::string text;
    const uint8* bytes = static_cast<const uint8*>(data);
    for (uint32 i = 0; data != nullptr && i < size; ++i)
    {
        text += Digits[bytes[i] >> 4];
        text += Digits[bytes[i] & 0xF];
    }
    return text;
}

void Schedule(uint64 dueDispatch, int callbackId, uint64 steamId, EDenyReason reason)
{
    Scheduled.push_back(FScheduledNotice{dueDispatch, callbackId, CSteamID(steamId), reason});
}

bool FStandInGameServer::SendUserConnectAndAuthenticate(uint32 unIPClient, const void* pvAuthBlob,
                                                        uint32 cubAuthBlobSize, CSteamID* pSteamIDUser)
{
    FStandInTicket ticket;
    const bool wellFormed = DecodeStandInTicket(pvAuthBlob, cubAuthBlobSize, ticket);
    // A refused ticket still names its user, as Steam may.
    if (wellFormed)
    {
        pSteamIDUser->SetFromUint64(ticket.SteamId);
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
    // The ticket's hex is appended on its own: a full 1024-byte ticket would not fit a formatted line.
    Log(Format("Authenticate ip=0x%08x length=%u ticket=", unIPClient, cubAuthBlobSize) +
        Hex(pvAuthBlob, cubAuthBlobSize) +
        Format(" result=%d steamid=%llu", accepted ? 1 : 0,
               static_cast<unsigned long long>(pSteamIDUser->ConvertToUint64())));
    return accepted;
}

void Deliver(const FScheduledNotice& notice)
{
    GSClientApprove_t approve = {};
    GSClientDeny_t deny = {};
    GSClientKick_t kick = {};
    void* record = nullptr;
    switch (notice.CallbackId)
    {
    case GSClientApprove_t::k_iCallback:
        approve.m_SteamID = notice.SteamId;
        record = &approve;
        break;
    case GSClientDeny_t::k_iCallback:
        deny.m_SteamID = notice.SteamId;
        deny.m_eDenyReason = notice.Reason;
        record = &deny;
        break;
    default:
        kick.m_SteamID = notice.SteamId;
        kick.m_eDenyReason = notice.Reason;
        record = &kick;
        break;
    }
    Log(Format("Notice callback=%d steamid=%llu reason=%d", notice.CallbackId,
               static_cast<unsigned long long>(notice.SteamId.ConvertToUint64()), notice.Reason));
    // Copied first: a callback may register or unregister callbacks while it runs.
    const std::vector<CCallbackBase*> targets = Callbacks;
    for (CCallbackBase* callback : targets)
    {
        if (callback->m_iCallback == notice.CallbackId &&
            (callback->m_nCallbackFlags & CCallbackBase::k_ECallbackFlagsGameServer) != 0)
        {
            callback->Run(record);
        }
    }
}
} // namespace

S_API bool S_CALLTYPE SteamGameServer_Init(uint32 unIP, uint16 usSteamPort, uint16 usGamePort,
                                           uint16 usSpectatorPort, uint16 usQueryPort,
                                           EServerMode eServerMode, const char* pchGameDir,
                                           const char* pchVersionString)
{
    ReleasePort();
    const EPortState port = InitSucceeds ? TakePort(usSteamPort) : EPortState::NotModelled;
    Running = InitSucceeds && port != EPortState::Held;
    Log(Format(
        "Init ip=%u steamport=%u gameport=%u spectatorport=%u queryport=%u mode=%d gamedir=%s version=%s "
        "result=%d%s",
        unIP, usSteamPort, usGamePort, usSpectatorPort, usQueryPort, static_cast<int>(eServerMode),
        pchGameDir != nullptr ? pchGameDir : "(null)",
        pchVersionString != nullptr ? pchVersionString : "(null)", static_cast<int>(Running),
        PortLogText(port)));
    return Running;
}

S_API void S_CALLTYPE SteamAPI_RegisterCallback(CCallbackBase* pCallback, int iCallback)
{
    pCallback->m_iCallback = iCallback;
    pCallback->m_nCallbackFlags |= CCallbackBase::k_ECallbackFlagsRegistered;
    Callbacks.push_back(pCallback);
    Log(Format("RegisterCallback callback=%d flags=%d", iCallback, pCallback->m_nCallbackFlags));
}

S_API void S_CALLTYPE SteamAPI_UnregisterCallback(CCallbackBase* pCallback)
{
    const auto it = std::find(Callbacks.begin(), Callbacks.end(), pCallback);
    if (it != Callbacks.end())
    {
        Callbacks.erase(it);
        pCallback->m_nCallbackFlags &= ~CCallbackBase::k_ECallbackFlagsRegistered;
    }
}

S_API ISteamGameServer* S_CALLTYPE SteamGameServer()
{
    return Running ? &GameServer : nullptr;
}

S_API void S_CALLTYPE SteamGameServer_RunCallbacks()
{
    ++DispatchCount;
    std::vector<FScheduledNotice> due;
    std::vector<FScheduledNotice> later;
    for (const FScheduledNotice& notice : Scheduled)
    {
        if (notice.DueDispatch <= DispatchCount)
        {
            due.push_back(notice);
        }
        else
        {
            later.push_back(notice);
        }
    }
    // Notices that callbacks schedule while they run join the queue behind the ones still waiting.
    Scheduled = std::move(later);
    for (const FScheduledNotice& notice : due)
    {
        Deliver(notice);
    }
}

S_API void S_CALLTYPE SteamGameServer_Shutdown()
{
    Running = false;
    Scheduled.clear();
    ReleasePort();
    Log("Shutdown");
}
