#include "BridgeLoop.h"
#include "TestFiles.h"
#include "WireBytes.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

struct FIdleCase
{
    double Now;
    double LastActivity;
    bool Exceeded;
};

TEST(IdleLimit, StopsOnlyAfterMoreThan900SecondsOfSilence)
{
    const FIdleCase cases[] = {
        {0.0, 0.0, false},      {899.999, 0.0, false}, {900.0, 0.0, false}, {900.001, 0.0, true},
        {1000.0, 100.0, false}, {1000.5, 100.0, true}, {5000.0, 0.0, true},
    };
    for (const FIdleCase& c : cases)
    {
        EXPECT_EQ(IsIdleLimitExceeded(c.Now, c.LastActivity), c.Exceeded)
            << "now=" << c.Now << " last=" << c.LastActivity;
    }
}

// The whole loop in-process on a simulated clock that only the bridge's own sleeps move forward,
// so that its idle limit passes in milliseconds. The parent is this test: it writes a poll on the
// bridge's input pipe when the simulated time reaches each of its input times.
namespace
{
// One cycle of the loop, with a margin for the cycle that notices the silence.
constexpr double CycleSeconds = 0.06;
constexpr double ExitMarginSeconds = 3 * CycleSeconds;

struct FSimulatedParent
{
    double Now = 0.0;
    std::vector<double> InputTimes;
    size_t Written = 0;
    HANDLE ToBridge = nullptr;
    HANDLE FromBridge = nullptr;
    // When each poll's reply had arrived, as the next sleep saw it.
    std::vector<double> ReplyTimes;
    DWORD ReplyBytesSeen = 0;
};

FSimulatedParent Parent;

double SimulatedNow()
{
    return Parent.Now;
}

void SimulatedSleep(uint32_t milliseconds)
{
    Parent.Now += milliseconds / 1000.0;
    // Looked for only while a reply is owed: a pipe call is dear under Wine, and the loop is long.
    DWORD available = 0;
    if (Parent.ReplyTimes.size() < Parent.Written &&
        PeekNamedPipe(Parent.FromBridge, nullptr, 0, nullptr, &available, nullptr) &&
        available > Parent.ReplyBytesSeen)
    {
        Parent.ReplyTimes.push_back(Parent.Now);
        Parent.ReplyBytesSeen = available;
    }
    if (Parent.Written < Parent.InputTimes.size() && Parent.Now >= Parent.InputTimes[Parent.Written])
    {
        const std::vector<uint8_t> poll = LE32(1);
        DWORD written = 0;
        WriteFile(Parent.ToBridge, poll.data(), static_cast<DWORD>(poll.size()), &written, nullptr);
        ++Parent.Written;
    }
}

struct FLoopCase
{
    const char* Name;
    std::vector<double> InputTimes;
};

void PrintTo(const FLoopCase& loopCase, std::ostream* out)
{
    *out << loopCase.Name;
}

class FIdleLoopTest : public ::testing::TestWithParam<FLoopCase>
{
};
} // namespace

TEST_P(FIdleLoopTest, InputRenewsTheIdleTimeAndSilenceEndsTheLoopWithShutdownLast)
{
    const FLoopCase& loopCase = GetParam();
    HANDLE inputRead = nullptr;
    HANDLE outputWrite = nullptr;
    Parent = FSimulatedParent();
    Parent.InputTimes = loopCase.InputTimes;
    ASSERT_TRUE(CreatePipe(&inputRead, &Parent.ToBridge, nullptr, 0));
    ASSERT_TRUE(CreatePipe(&Parent.FromBridge, &outputWrite, nullptr, 0));
    const std::wstring logPath = UniqueTempPath(L"karveth-idle-loop", L".log");
    SetEnvironmentVariableW(L"STEAM_STANDIN_LOG", logPath.c_str());
    HANDLE savedInput = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE savedOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_INPUT_HANDLE, inputRead);
    SetStdHandle(STD_OUTPUT_HANDLE, outputWrite);

    const int exitCode = RunBridge(FBridgeTime{SimulatedNow, SimulatedSleep});

    SetStdHandle(STD_INPUT_HANDLE, savedInput);
    SetStdHandle(STD_OUTPUT_HANDLE, savedOutput);
    SetEnvironmentVariableW(L"STEAM_STANDIN_LOG", nullptr);
    const std::vector<std::string> lines = ReadWholeLines(logPath);
    DeleteFileW(logPath.c_str());
    for (HANDLE handle : {inputRead, outputWrite, Parent.ToBridge, Parent.FromBridge})
    {
        CloseHandle(handle);
    }

    EXPECT_EQ(exitCode, 0);
    ASSERT_EQ(Parent.Written, loopCase.InputTimes.size()) << "the loop ended before the last input";
    // Every poll was answered within a cycle of being written: the bridge was running then.
    ASSERT_EQ(Parent.ReplyTimes.size(), loopCase.InputTimes.size());
    for (size_t i = 0; i < loopCase.InputTimes.size(); ++i)
    {
        EXPECT_GE(Parent.ReplyTimes[i], loopCase.InputTimes[i]);
        EXPECT_LE(Parent.ReplyTimes[i], loopCase.InputTimes[i] + 2 * CycleSeconds);
    }
    const double lastInput = loopCase.InputTimes.empty() ? 0.0 : loopCase.InputTimes.back();
    EXPECT_GT(Parent.Now, lastInput + IdleTimeoutSeconds) << "stopped after " << Parent.Now << " s";
    EXPECT_LT(Parent.Now, lastInput + IdleTimeoutSeconds + ExitMarginSeconds)
        << "stopped after " << Parent.Now << " s";
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().rfind("Init ", 0), 0u);
    EXPECT_EQ(lines.back(), "Shutdown");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Shutdown"), 1);
}

INSTANTIATE_TEST_SUITE_P(SimulatedClock, FIdleLoopTest,
                         ::testing::Values(FLoopCase{"Silent", {}}, FLoopCase{"InputAt899Seconds", {899.0}},
                                           FLoopCase{"InputJustBeforeEachLimit", {899.9, 1799.5, 2699.0}}),
                         [](const ::testing::TestParamInfo<FLoopCase>& info)
                         { return std::string(info.param.Name); });
