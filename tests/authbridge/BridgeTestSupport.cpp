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

std::string Hex(const std::vector<uint8_t>& bytes)
{
    static const char Digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : bytes)
    {
        text += Digits[byte >> 4];
        text += Digits[byte & 0xF];
    }
    return text;
}

std::vector<uint8_t> LE32(uint32_t value)
{
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& parts)
{
    std::vector<uint8_t> all;
    for (const std::vector<uint8_t>& part : parts)
    {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
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
    ASSERT_TRUE(Bridge.Start(exePath, L"", {L"STEAM_STANDIN_LOG=" + LogPath}))
        << "cannot start the bridge, error " << GetLastError();
}

std::vector<uint8_t> FBridgeProcessTest::ReadReply(size_t size)
{
    std::vector<uint8_t> bytes(size);
    EXPECT_TRUE(Bridge.ReadExact(bytes.data(), bytes.size())) << "no complete reply of " << size << " bytes";
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
