// The bridge's few calls into Steam's game-server library, gathered in one place.
#pragma once

#include <cstdint>

void StartSteamGameServer();
void RunSteamCallbacks();
void ShutdownSteamGameServer();

// Hands one client's ticket to Steam. False when Steam refused it or never started. steamId is what
// Steam left in the ID, also for a refused ticket; zero when Steam never started.
bool AuthenticateWithSteam(uint32_t clientAddress, const void* ticket, uint32_t ticketSize,
                           uint64_t& steamId);
