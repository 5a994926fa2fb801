// What the tests that drive the real authbridge.exe share: where the programs are, a running bridge
// with a call log of its own, and the reading of that log.
#pragma once

#include "BridgeParent.h"
#include "TestFiles.h"
#include "WireBytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

// The logged lines that start with the given call name, e.g. "Authenticate ".
std::vector<std::string> LogLinesOf(const std::vector<std::string>& lines, const std::string& prefix);

// Starts a bridge whose stand-in Steam library logs into a file of the test's own, and stops it
// when the test ends.
class FBridgeProcessTest : public ::testing::Test
{
protected:
    void TearDown() override;

    // Relative to ProgramFolder(), where the bridge and the stand-in Steam library sit.
    void StartBridge(const std::wstring& relativeExePath = L"authbridge.exe");

    // Exactly size bytes from the bridge; a test failure when they do not come.
    std::vector<uint8_t> ReadReply(size_t size);
    // Waits a few bridge cycles and expects that the bridge wrote nothing meanwhile.
    void ExpectNoReplyFor(DWORD milliseconds);

    std::vector<std::string> LogLines() const { return ReadWholeLines(LogPath); }
    // True once a logged line starts with the prefix; false when none has after the timeout.
    bool WaitForLogLine(const std::string& prefix, DWORD timeoutMs) const;

    FBridgeParent Bridge;
    std::wstring LogPath;
};
