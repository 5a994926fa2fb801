#include "SteamGameServerCalls.h"

#include "steam_api.h"

namespace
{
constexpr uint16 SteamPort = 8767;
constexpr const char* GameDirectory = "karveth";
constexpr const char* ServerVersion = "1.0.0.0";
} // namespace

void StartSteamGameServer()
{
    // A failed start-up is not fatal: Authenticate then refuses every ticket.
    SteamGameServer_Init(0, SteamPort, 0, 0, 0, eServerModeAuthentication, GameDirectory, ServerVersion);
}

void RunSteamCallbacks()
{
    SteamGameServer_RunCallbacks();
}

void ShutdownSteamGameServer()
{
    SteamGameServer_Shutdown();
}

bool AuthenticateWithSteam(uint32_t clientAddress, const void* ticket, uint32_t ticketSize, uint64_t& steamId)
{
    CSteamID user;
    ISteamGameServer* gameServer = SteamGameServer();
    const bool accepted = gameServer != nullptr && gameServer->SendUserConnectAndAuthenticate(
                                                       clientAddress, ticket, ticketSize, &user);
    steamId = user.ConvertToUint64();
    return accepted;
}
