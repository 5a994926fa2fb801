// Declarations of the part of Steam's game-server library (steam_api.dll) that authbridge uses.
// The binary interface matches the real library, so the real DLL can replace our stand-in:
// plain undecorated cdecl exports, a callback object whose first virtual function is Run, and
// SendUserConnectAndAuthenticate in the sixth slot of ISteamGameServer's vtable.
#pragma once

#include <cstdint>

typedef uint8_t uint8;
typedef uint16_t uint16;
typedef uint32_t uint32;
typedef uint64_t uint64;
typedef int32_t int32;

#if defined(STEAM_API_EXPORTS)
#define S_API extern "C" __declspec(dllexport)
#else
#define S_API extern "C" __declspec(dllimport)
#endif
#define S_CALLTYPE __cdecl

// A user's 64-bit Steam ID. Bits, lowest first: account number (0-31), instance (32-51),
// account type (52-55), universe (56-63). Zero is the invalid ID.
class CSteamID
{
public:
    CSteamID() : m_unAll64Bits(0) {}
    explicit CSteamID(uint64 unSteamID) : m_unAll64Bits(unSteamID) {}

    uint64 ConvertToUint64() const { return m_unAll64Bits; }
    void SetFromUint64(uint64 unSteamID) { m_unAll64Bits = unSteamID; }

    uint32 GetAccountID() const { return static_cast<uint32>(m_unAll64Bits & 0xFFFFFFFFu); }
    uint32 GetUnAccountInstance() const { return static_cast<uint32>((m_unAll64Bits >> 32) & 0xFFFFFu); }
    uint32 GetEAccountType() const { return static_cast<uint32>((m_unAll64Bits >> 52) & 0xFu); }
    uint32 GetEUniverse() const { return static_cast<uint32>(m_unAll64Bits >> 56); }
    bool IsValid() const { return m_unAll64Bits != 0; }

private:
    uint64 m_unAll64Bits;
};
static_assert(sizeof(CSteamID) == 8, "a Steam ID is 8 bytes");

enum EServerMode
{
    eServerModeInvalid = 0,
    eServerModeNoAuthentication = 1,
    eServerModeAuthentication = 2,
    eServerModeAuthenticationAndSecure = 3,
};

// Why Steam denied or kicks a user. The bridge passes the code on without reading it.
typedef int32 EDenyReason;

enum
{
    k_iSteamGameServerCallbacks = 200,
};

struct GSClientApprove_t
{
    enum
    {
        k_iCallback = k_iSteamGameServerCallbacks + 1
    };
    CSteamID m_SteamID;
};

struct GSClientDeny_t
{
    enum
    {
        k_iCallback = k_iSteamGameServerCallbacks + 2
    };
    CSteamID m_SteamID;
    EDenyReason m_eDenyReason;
    char m_rgchOptionalText[128];
};

struct GSClientKick_t
{
    enum
    {
        k_iCallback = k_iSteamGameServerCallbacks + 3
    };
    CSteamID m_SteamID;
    EDenyReason m_eDenyReason;
};

// The object Steam calls back through. Steam reads the flags and stores the callback number.
class CCallbackBase
{
public:
    enum
    {
        k_ECallbackFlagsRegistered = 0x01,
        k_ECallbackFlagsGameServer = 0x02,
    };

    CCallbackBase() : m_nCallbackFlags(0), m_iCallback(0) {}
    virtual void Run(void* pvParam) = 0;

    uint8 m_nCallbackFlags;
    int m_iCallback;

protected:
    ~CCallbackBase() = default;
};

S_API void S_CALLTYPE SteamAPI_RegisterCallback(CCallbackBase* pCallback, int iCallback);

// Binds one notice type to a member function of T and registers itself on construction.
template <class T, class P, bool bGameServer> class CCallback : public CCallbackBase
{
public:
    typedef void (T::*func_t)(P*);

    CCallback(T* pObj, func_t func) : m_pObj(pObj), m_Func(func)
    {
        m_nCallbackFlags = 0;
        if (bGameServer)
        {
            m_nCallbackFlags |= k_ECallbackFlagsGameServer;
        }
        SteamAPI_RegisterCallback(this, P::k_iCallback);
    }

    void Run(void* pvParam) override { (m_pObj->*m_Func)(static_cast<P*>(pvParam)); }

private:
    T* m_pObj;
    func_t m_Func;
};

class ISteamGameServer
{
public:
    // The first five operations are never called by the bridge; they only hold their vtable slots.
    virtual void ReservedSlot0() = 0;
    virtual void ReservedSlot1() = 0;
    virtual void ReservedSlot2() = 0;
    virtual void ReservedSlot3() = 0;
    virtual void ReservedSlot4() = 0;
    virtual bool SendUserConnectAndAuthenticate(uint32 unIPClient, const void* pvAuthBlob,
                                                uint32 cubAuthBlobSize, CSteamID* pSteamIDUser) = 0;

protected:
    ~ISteamGameServer() = default;
};

S_API bool S_CALLTYPE SteamGameServer_Init(uint32 unIP, uint16 usSteamPort, uint16 usGamePort,
                                           uint16 usSpectatorPort, uint16 usQueryPort,
                                           EServerMode eServerMode, const char* pchGameDir,
                                           const char* pchVersionString);
S_API ISteamGameServer* S_CALLTYPE SteamGameServer();
S_API void S_CALLTYPE SteamGameServer_RunCallbacks();
S_API void S_CALLTYPE SteamGameServer_Shutdown();
