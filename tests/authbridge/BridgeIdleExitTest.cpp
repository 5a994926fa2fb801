// The bridge's real idle limit: a parent that writes nothing. Takes over 15 minutes, so it is
// labelled slow and left out of the default test run.
#include "BridgeTestSupport.h"

namespace
{
constexpr ULONGLONG IdleLimitMs = 900 * 1000;
// Generous: the bridge's clock starts only once Wine has loaded it.
constexpr ULONGLONG ExitSlackMs = 30 * 1000;
} // namespace

TEST_F(FBridgeProcessTest, ExitsWithCodeZeroAfterMoreThan900SilentSeconds)
{
    const ULONGLONG started = GetTickCount64();
    StartBridge();
    DWORD exitCode = 1;
    ASSERT_TRUE(Bridge.WaitForExit(static_cast<DWORD>(IdleLimitMs + ExitSlackMs), exitCode))
        << "still running " << (GetTickCount64() - started) / 1000 << " s after start";
    const ULONGLONG elapsed = GetTickCount64() - started;
    EXPECT_EQ(exitCode, 0u);
    EXPECT_GT(elapsed, IdleLimitMs) << "exited after " << elapsed << " ms";
    EXPECT_EQ(Bridge.BytesWaiting(), 0u);
    const std::vector<std::string> lines = LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Shutdown");
}
