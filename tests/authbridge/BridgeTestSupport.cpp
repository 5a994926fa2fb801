#include "BridgeTestSupport.h"

#include <algorithm>
#include <iterator>

std::vector<std::string> LogLinesOf(const std::vector<std::string>& lines, const std::string& prefix)
{
    std::vector<std::string> matching;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(matching),
                 [&prefix](const std::string& line) { return line.compare(0, prefix.size(), prefix) == 0; });
    return matching;
}

void FBridgeProcessTest::TearDown()
{
    Bridge.Kill();
    if (!LogPath.empty())
    {
        DeleteFileW(LogPath.c_str());
    }
}

void FBridgeProcessTest::StartBridge(const std::wstring& relativeExePath)
{
    LogPath = UniqueTempPath(L"karveth-standin", L".log");
    const std::wstring exePath = ProgramFolder() + L"\\" + relativeExePath;
    const FBridgeResult started = Bridge.Start(exePath, L"", {L"STEAM_STANDIN_LOG=" + LogPath});
    ASSERT_TRUE(started) << started.Message();
}

std::vector<uint8_t> FBridgeProcessTest::ReadReply(size_t size)
{
    std::vector<uint8_t> bytes(size);
    const FBridgeResult read = Bridge.ReadExact(bytes.data(), bytes.size());
    EXPECT_TRUE(read) << "no complete reply of " << size << " bytes: " << read.Message();
    return bytes;
}

void FBridgeProcessTest::ExpectNoReplyFor(DWORD milliseconds)
{
    Sleep(milliseconds);
    EXPECT_EQ(Bridge.BytesWaiting(), 0u) << "the bridge wrote bytes nobody asked for";
}

bool FBridgeProcessTest::WaitForLogLine(const std::string& prefix, DWORD timeoutMs) const
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (LogLinesOf(LogLines(), prefix).empty())
    {
        if (GetTickCount64() >= deadline)
        {
            return false;
        }
        Sleep(20);
    }
    return true;
}
