// The stand-in's model of Steam's port, switched on by STEAM_STANDIN_PORT_OBJECT: one game server
// at a time on a port, as with real Steam.
#include "TestFiles.h"
#include "steam_api.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace
{
constexpr uint16 SteamPort = 8767;

bool InitOn(uint16 port)
{
    return SteamGameServer_Init(0, port, 0, 0, 0, eServerModeAuthentication, "karveth", "1.0.0.0");
}

// True when a game server already holds the port's object.
bool PortObjectExists(const std::wstring& name)
{
    HANDLE probe = CreateMutexW(nullptr, FALSE, name.c_str());
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    CloseHandle(probe);
    return existed;
}
} // namespace

TEST(StandInPort, AGameServerOnAHeldPortFailsItsStartUpAndHoldsThePortOnlyUntilShutdown)
{
    const std::wstring prefix = L"karveth-port-test-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring portObject = prefix + L"-" + std::to_wstring(SteamPort);
    const std::wstring logPath = UniqueTempPath(L"karveth-port", L".log");
    SetEnvironmentVariableW(L"STEAM_STANDIN_PORT_OBJECT", prefix.c_str());
    SetEnvironmentVariableW(L"STEAM_STANDIN_LOG", logPath.c_str());

    // Another game server on the port.
    HANDLE other = CreateMutexW(nullptr, FALSE, portObject.c_str());
    EXPECT_FALSE(InitOn(SteamPort));
    EXPECT_EQ(SteamGameServer(), nullptr);
    SteamGameServer_Shutdown();
    // Another port is free.
    EXPECT_TRUE(InitOn(SteamPort + 1));
    SteamGameServer_Shutdown();
    CloseHandle(other);

    ASSERT_TRUE(InitOn(SteamPort));
    EXPECT_NE(SteamGameServer(), nullptr);
    EXPECT_TRUE(PortObjectExists(portObject)) << "the running game server does not hold its port";
    SteamGameServer_Shutdown();
    EXPECT_FALSE(PortObjectExists(portObject)) << "the port is still held after shutdown";

    SetEnvironmentVariableW(L"STEAM_STANDIN_PORT_OBJECT", nullptr);
    SetEnvironmentVariableW(L"STEAM_STANDIN_LOG", nullptr);
    std::vector<std::string> inits;
    for (const std::string& line : ReadWholeLines(logPath))
    {
        if (line.rfind("Init ", 0) == 0)
        {
            inits.push_back(line.substr(line.find(" result=")));
        }
    }
    DeleteFileW(logPath.c_str());
    EXPECT_EQ(inits, (std::vector<std::string>{" result=0 port=held", " result=1 port=free",
                                               " result=1 port=free"}));
}

TEST(StandInPort, WithoutTheSwitchEveryStartUpSucceeds)
{
    SetEnvironmentVariableW(L"STEAM_STANDIN_PORT_OBJECT", nullptr);
    for (int round = 0; round < 2; ++round)
    {
        EXPECT_TRUE(InitOn(SteamPort));
    }
    SteamGameServer_Shutdown();
}
