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

// A name the system cannot make an object of (a backslash names a namespace that does not exist):
// the port cannot be had, so the start-up fails as on a held port.
TEST(StandInPort, PortObjectThatCannotBeMadeCountsAsHeld)
{
    const std::wstring logPath = UniqueTempPath(L"karveth-port-invalid", L".log");
    SetEnvironmentVariableW(L"STEAM_STANDIN_LOG", logPath.c_str());
    SetEnvironmentVariableW(L"STEAM_STANDIN_PORT_OBJECT", L"karveth-no-such-namespace\\port");
    EXPECT_FALSE(InitOn(SteamPort));
    EXPECT_EQ(SteamGameServer(), nullptr);
    SteamGameServer_Shutdown();
    SetEnvironmentVariableW(L"STEAM_STANDIN_PORT_OBJECT", nullptr);
    SetEnvironmentVariableW(L"STEAM_STANDIN_LOG", nullptr);
    const std::vector<std::string> lines = ReadWholeLines(logPath);
    DeleteFileW(logPath.c_str());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].substr(lines[0].find(" result=")), " result=0 port=held");
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

// The object name's prefix has a buffer of 200 units with its terminator: 199 units switch the
// model on, 200 are not taken at all and leave it off.
TEST(StandInPort, PrefixThatFillsItsBufferIsUsedAndOneUnitMoreIsNot)
{
    const std::wstring logPath = UniqueTempPath(L"karveth-port-prefix", L".log");
    SetEnvironmentVariableW(L"STEAM_STANDIN_LOG", logPath.c_str());
    const std::wstring start = L"karveth-port-prefix-" + std::to_wstring(GetCurrentProcessId()) + L"-";
    const struct
    {
        size_t Length;
        bool Modelled;
    } cases[] = {{199, true}, {200, false}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Length);
        const std::wstring prefix = start + std::wstring(c.Length - start.size(), L'q');
        SetEnvironmentVariableW(L"STEAM_STANDIN_PORT_OBJECT", prefix.c_str());
        EXPECT_TRUE(InitOn(SteamPort));
        EXPECT_EQ(PortObjectExists(prefix + L"-" + std::to_wstring(SteamPort)), c.Modelled);
        SteamGameServer_Shutdown();
    }
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
    EXPECT_EQ(inits, (std::vector<std::string>{" result=1 port=free", " result=1"}));
}
