// Steam's game-server library as code built with Microsoft's compiler sees it: plain cdecl exports, a
// game-server interface whose virtual functions are member functions (thiscall on i686: the object in
// ECX, the callee removes its arguments), the callback objects a game server registers, and the notice
// records Steam hands them. Compiled by clang for *-pc-windows-msvc with no runtime at all, so only the
// compiler's own freestanding headers are used.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uint8_t uint8;
typedef uint16_t uint16;
typedef uint32_t uint32;
typedef uint64_t uint64;
typedef int32_t int32;

#define S_API extern "C" __declspec(dllexport)
#define S_CALLTYPE __cdecl

// A namespace of its own keeps these declarations apart from the bridge's in steamapi/include when
// tools look at the whole tree; it changes nothing in the binary interface (the exports are C names).
namespace SteamMsAbi
{
// A user's 64-bit Steam ID; zero is the invalid ID.
class CSteamID
{
public:
    uint64 m_unAll64Bits;
};

enum EServerMode
{
    eServerModeInvalid = 0,
    eServerModeNoAuthentication = 1,
    eServerModeAuthentication = 2,
    eServerModeAuthenticationAndSecure = 3,
};

typedef int32 EDenyReason;

// The notice records: each begins with the user's Steam ID; deny and kick carry the reason after it.
struct GSClientApprove_t
{
    enum
    {
        k_iCallback = 201
    };
    CSteamID m_SteamID;
};

struct GSClientDeny_t
{
    enum
    {
        k_iCallback = 202
    };
    CSteamID m_SteamID;
    EDenyReason m_eDenyReason;
};

struct GSClientKick_t
{
    enum
    {
        k_iCallback = 203
    };
    CSteamID m_SteamID;
    EDenyReason m_eDenyReason;
};

// A callback object as Steam reads it: the vtable pointer, whose one slot is Run, then the flags byte
// and the callback number that registration stores. Whatever a game server binds it to lies behind
// these fields and is no business of Steam's.
class CCallbackBase
{
public:
    enum
    {
        k_ECallbackFlagsRegistered = 0x01,
        k_ECallbackFlagsGameServer = 0x02,
    };

    virtual void Run(void* pvParam) = 0;

    uint8 m_nCallbackFlags;
    int m_iCallback;
};
static_assert(sizeof(CCallbackBase) == sizeof(void*) + 8, "vtable pointer, flags byte, callback number");

// The game-server interface. The bridge calls only the sixth function; the first five hold their slots.
class ISteamGameServer
{
public:
    virtual void ReservedSlot1() = 0;
    virtual void ReservedSlot2() = 0;
    virtual void ReservedSlot3() = 0;
    virtual void ReservedSlot4() = 0;
    virtual void ReservedSlot5() = 0;
    virtual bool SendUserConnectAndAuthenticate(uint32 unIPClient, const void* pvAuthBlob,
                                                uint32 cubAuthBlobSize, CSteamID* pSteamIDUser) = 0;
};

S_API bool S_CALLTYPE SteamGameServer_Init(uint32 unIP, uint16 usSteamPort, uint16 usGamePort,
                                           uint16 usSpectatorPort, uint16 usQueryPort,
                                           EServerMode eServerMode, const char* pchGameDir,
                                           const char* pchVersionString);
S_API void S_CALLTYPE SteamAPI_RegisterCallback(CCallbackBase* pCallback, int iCallback);
S_API ISteamGameServer* S_CALLTYPE SteamGameServer();
S_API void S_CALLTYPE SteamGameServer_RunCallbacks();
S_API void S_CALLTYPE SteamGameServer_Shutdown();
} // namespace SteamMsAbi
