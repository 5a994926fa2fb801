// A bridge never outlives its server: test-side servers start the real bridge through the library
// and are killed, with the stand-in modelling Steam's port so that an orphan would be seen.
#include "BridgeTestSupport.h"
#include "PlainChild.h"
#include "StandInTicket.h"

namespace
{
constexpr DWORD ReportTimeoutMs = 15000;
// How soon after its server's end the bridge must be gone.
constexpr DWORD OrphanLimitMs = 1000;
constexpr UINT KilledExitCode = 9;

// What bridge_server_probe.exe writes once its bridge has answered.
struct FProbeReport
{
    uint32_t BridgeProcessId = 0;
    uint32_t Protected = 0;
    uint32_t ProtectionError = 0;
    uint32_t AuthenticateResult = 0;
};

struct FProbe
{
    FPlainChild Process;
    FProbeReport Report;
    HANDLE Bridge = nullptr;

    ~FProbe()
    {
        if (Bridge != nullptr)
        {
            TerminateProcess(Bridge, 1);
            CloseHandle(Bridge);
        }
    }
};

std::wstring Quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

// Starts a server that starts its bridge; fills in its report and a handle on its bridge.
void StartProbe(FProbe& probe, const std::wstring& logPath, const std::wstring& portObject,
                HANDLE job = nullptr)
{
    const std::wstring folder = ProgramFolder();
    ASSERT_TRUE(probe.Process.Start(Quoted(folder + L"\\bridge_server_probe.exe") + L" " +
                                        Quoted(folder + L"\\authbridge.exe") + L" " + Quoted(logPath) + L" " +
                                        Quoted(portObject),
                                    job));
    ASSERT_TRUE(probe.Process.ReadExact(&probe.Report, sizeof(probe.Report), ReportTimeoutMs)) << "no report";
    probe.Bridge = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, probe.Report.BridgeProcessId);
    ASSERT_NE(probe.Bridge, nullptr) << "no bridge process " << probe.Report.BridgeProcessId;
}

std::string InitResult(const std::wstring& logPath)
{
    const std::vector<std::string> lines = ReadWholeLines(logPath);
    return lines.empty() ? std::string("(no log)") : lines[0].substr(lines[0].find(" result="));
}

class FBridgeLifetimeTest : public FBridgeProcessTest
{
protected:
    void SetUp() override
    {
        PortObject = L"karveth-steam-port-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                     std::to_wstring(GetTickCount64());
        for (std::wstring& path : ProbeLogs)
        {
            path = UniqueTempPath(L"karveth-probe", L".log");
        }
    }
    void TearDown() override
    {
        FBridgeProcessTest::TearDown();
        for (const std::wstring& path : ProbeLogs)
        {
            DeleteFileW(path.c_str());
        }
    }

    std::wstring PortObject;
    std::wstring ProbeLogs[2];
};
} // namespace

TEST_F(FBridgeLifetimeTest, AKilledServersBridgeEndsAtOnceAndTheNextServersSteamStartUpSucceeds)
{
    FProbe first;
    StartProbe(first, ProbeLogs[0], PortObject);
    ASSERT_EQ(first.Report.Protected, 1u) << "not tied to its server, error " << first.Report.ProtectionError;
    EXPECT_EQ(first.Report.AuthenticateResult, 1u);
    EXPECT_EQ(InitResult(ProbeLogs[0]), " result=1 port=free");

    // While the first bridge holds Steam's port, another bridge's Steam start-up fails and every
    // ticket is refused: what an orphan would do to a restarted server.
    LogPath = UniqueTempPath(L"karveth-standin", L".log");
    ASSERT_TRUE(Bridge.Start(ProgramFolder() + L"\\authbridge.exe", L"",
                             {L"STEAM_STANDIN_LOG=" + LogPath, L"STEAM_STANDIN_PORT_OBJECT=" + PortObject}));
    FAuthenticateReply reply;
    ASSERT_TRUE(Bridge.Authenticate(
        0x0A000001, EncodeStandInTicket(FStandInTicket{7, EStandInVerdict::Approve, 0, 0, 0, 0}), reply));
    EXPECT_EQ(reply.Result, 0u);
    EXPECT_EQ(InitResult(LogPath), " result=0 port=held");
    Bridge.Kill();

    const ULONGLONG killed = GetTickCount64();
    first.Process.Kill(KilledExitCode);
    EXPECT_EQ(WaitForSingleObject(first.Bridge, OrphanLimitMs), static_cast<DWORD>(WAIT_OBJECT_0))
        << "the bridge outlived its killed server";
    std::printf("bridge gone %u ms after its server was killed\n",
                static_cast<unsigned>(GetTickCount64() - killed));

    FProbe next;
    StartProbe(next, ProbeLogs[1], PortObject);
    EXPECT_EQ(next.Report.AuthenticateResult, 1u);
    EXPECT_EQ(InitResult(ProbeLogs[1]), " result=1 port=free");
}

TEST_F(FBridgeLifetimeTest, AServerThatEndsNormallyTakesItsBridgeAlong)
{
    FProbe probe;
    StartProbe(probe, ProbeLogs[0], PortObject);
    ASSERT_EQ(probe.Report.Protected, 1u);
    // The probe returns from main when its input closes, without stopping its bridge itself.
    probe.Process.CloseInput();
    EXPECT_EQ(WaitForSingleObject(probe.Process.Process(), ReportTimeoutMs),
              static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(probe.Bridge, OrphanLimitMs), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST_F(FBridgeLifetimeTest, AServerInAJobOfItsOwnStillGetsABridgeAndIsToldWhetherItIsTied)
{
    // The server runs in a job of its operator's, which does not allow breakaway.
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    ASSERT_NE(job, nullptr);
    FProbe probe;
    StartProbe(probe, ProbeLogs[0], PortObject, job);
    EXPECT_EQ(probe.Report.AuthenticateResult, 1u) << "the bridge must start and work in any case";
    std::printf("server in a job: bridge protected=%u error=%u\n", probe.Report.Protected,
                probe.Report.ProtectionError);

    probe.Process.Kill(KilledExitCode);
    const DWORD waited = WaitForSingleObject(probe.Bridge, OrphanLimitMs);
    if (probe.Report.Protected == 1)
    {
        EXPECT_EQ(waited, static_cast<DWORD>(WAIT_OBJECT_0))
            << "reported as tied, yet it outlived its server";
    }
    else
    {
        EXPECT_NE(probe.Report.ProtectionError, 0u);
        EXPECT_EQ(waited, static_cast<DWORD>(WAIT_TIMEOUT)) << "reported as not tied, yet it ended";
    }
    CloseHandle(job);
}
