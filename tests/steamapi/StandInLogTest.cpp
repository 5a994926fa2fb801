// The stand-in's call log at its limits: the longest log path it takes, and the longest line it
// writes whole.
#include "TestFiles.h"
#include "steam_api.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace
{
// Buffers of the stand-in: the log path with its terminator, and a formatted line with its own.
constexpr size_t LogPathBuffer = MAX_PATH;
constexpr size_t LineBuffer = 512;

const std::string InitStart =
    "Init ip=0 steamport=8767 gameport=0 spectatorport=0 queryport=0 mode=2 gamedir=";
const std::string InitEnd = " version=1.0.0.0 result=1";

void InitWithGameDirectory(const std::string& gameDirectory)
{
    SteamGameServer_Init(0, 8767, 0, 0, 0, eServerModeAuthentication, gameDirectory.c_str(), "1.0.0.0");
    SteamGameServer_Shutdown();
}

class FStandInLogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        ASSERT_NE(GetTempPathA(MAX_PATH, temp), 0u);
        Folder = std::string(temp) + "karveth-log-limit-" + std::to_string(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryA(Folder.c_str(), nullptr));
    }
    void TearDown() override
    {
        SetEnvironmentVariableA("STEAM_STANDIN_LOG", nullptr);
        for (const std::string& file : Files)
        {
            DeleteFileA(file.c_str());
        }
        RemoveDirectoryA(Folder.c_str());
    }

    // A file in the folder whose path has exactly the given length.
    std::string FileOfPathLength(size_t length)
    {
        const std::string file = Folder + "\\" + std::string(length - Folder.size() - 1 - 4, 'p') + ".log";
        Files.push_back(file);
        return file;
    }

    std::string Folder;
    std::vector<std::string> Files;
};
} // namespace

TEST_F(FStandInLogTest, LogPathThatFillsItsBufferIsUsedAndOneCharacterMoreIsNot)
{
    const struct
    {
        size_t Length;
        bool Logged;
    } cases[] = {{LogPathBuffer - 1, true}, {LogPathBuffer, false}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Length);
        const std::string path = FileOfPathLength(c.Length);
        ASSERT_EQ(path.size(), c.Length);
        ASSERT_TRUE(SetEnvironmentVariableA("STEAM_STANDIN_LOG", path.c_str()));
        InitWithGameDirectory("karveth");
        const std::vector<std::string> lines = ReadWholeLines(std::wstring(path.begin(), path.end()));
        if (c.Logged)
        {
            EXPECT_EQ(lines, (std::vector<std::string>{InitStart + "karveth" + InitEnd, "Shutdown"}));
        }
        else
        {
            EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES) << "a log under a cut path";
        }
    }
}

TEST_F(FStandInLogTest, LineThatFillsItsBufferIsWrittenWholeAndALongerOneIsCut)
{
    const std::string path = FileOfPathLength(Folder.size() + 1 + 8);
    ASSERT_TRUE(SetEnvironmentVariableA("STEAM_STANDIN_LOG", path.c_str()));
    const size_t longest = LineBuffer - 1;
    const std::string fits(longest - InitStart.size() - InitEnd.size(), 'g');
    InitWithGameDirectory(fits);
    InitWithGameDirectory(fits + "h");
    const std::vector<std::string> lines = ReadWholeLines(std::wstring(path.begin(), path.end()));

    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], InitStart + fits + InitEnd);
    EXPECT_EQ(lines[0].size(), longest);
    EXPECT_EQ(lines[2], (InitStart + fits + "h" + InitEnd).substr(0, longest));
    EXPECT_EQ(lines[3], "Shutdown");
}

TEST_F(FStandInLogTest, LogInAFolderThatDoesNotExistIsLeftOutAndTheCallsStillWork)
{
    const std::string path = Folder + "\\missing\\calls.log";
    ASSERT_TRUE(SetEnvironmentVariableA("STEAM_STANDIN_LOG", path.c_str()));
    EXPECT_TRUE(SteamGameServer_Init(0, 8767, 0, 0, 0, eServerModeAuthentication, "karveth", "1.0.0.0"));
    EXPECT_NE(SteamGameServer(), nullptr);
    SteamGameServer_Shutdown();
    EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FStandInLogTest, MissingGameDirectoryAndVersionAreLoggedAsNull)
{
    const std::string path = FileOfPathLength(Folder.size() + 1 + 8);
    ASSERT_TRUE(SetEnvironmentVariableA("STEAM_STANDIN_LOG", path.c_str()));
    EXPECT_TRUE(SteamGameServer_Init(0, 8767, 0, 0, 0, eServerModeAuthentication, nullptr, nullptr));
    SteamGameServer_Shutdown();
    const std::vector<std::string> lines = ReadWholeLines(std::wstring(path.begin(), path.end()));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], InitStart + "(null) version=(null) result=1");
}
