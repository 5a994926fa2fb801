// How the bridge copes with an oversize ticket, a Steam that never started and a parent that goes
// away in the middle of a request.
#include "BridgeTestSupport.h"
#include "StandInTicket.h"

namespace
{
// 76561197960287930, little-endian on the pipe.
constexpr uint64_t User = 0x01100001000056BAull;
const std::string AcceptedUser = "01000000ba56000001001001";
const std::string Refused = "000000000000000000000000";
constexpr uint32_t ClientAddress = 0x0A000002;

std::vector<uint8_t> ApproveTicket()
{
    FStandInTicket ticket;
    ticket.SteamId = User;
    return EncodeStandInTicket(ticket);
}
} // namespace

TEST_F(FBridgeProcessTest, OversizeTicketIsDiscardedAndTheNextRequestServed)
{
    const uint32_t oversizeLengths[] = {1025, 100000};
    StartBridge();
    for (uint32_t length : oversizeLengths)
    {
        SCOPED_TRACE(length);
        // A valid ticket padded with PollEvents codes: a bridge out of step would answer polls.
        std::vector<uint8_t> oversize = ApproveTicket();
        while (oversize.size() < length)
        {
            oversize.push_back(oversize.size() % 4 == 0 ? 1 : 0);
        }
        ASSERT_TRUE(Bridge.Write(Concat({EncodeAuthenticate(ClientAddress, oversize),
                                         EncodeAuthenticate(ClientAddress, ApproveTicket())})));
        EXPECT_EQ(Hex(ReadReply(12)), Refused);
        EXPECT_EQ(Hex(ReadReply(12)), AcceptedUser);
        ExpectNoReplyFor(200);
    }
    // Steam never saw the oversize tickets.
    const std::vector<std::string> calls = LogLinesOf(LogLines(), "Authenticate ");
    ASSERT_EQ(calls.size(), std::size(oversizeLengths));
    for (const std::string& call : calls)
    {
        EXPECT_EQ(call.substr(0, call.find(" ticket=")), "Authenticate ip=0x0a000002 length=32");
    }
}

TEST_F(FBridgeProcessTest, FailedSteamStartUpRefusesTicketsAndPollsKeepWorking)
{
    // A copy of the bridge beside the stand-in variant whose start-up fails.
    StartBridge(L"initfail\\authbridge.exe");
    for (int round = 0; round < 2; ++round)
    {
        ASSERT_TRUE(Bridge.Write(EncodeAuthenticate(ClientAddress, ApproveTicket())));
        EXPECT_EQ(Hex(ReadReply(12)), Refused);
        ASSERT_TRUE(Bridge.Write(EncodePollEvents()));
        EXPECT_EQ(Hex(ReadReply(4)), "00000000");
    }
    const std::vector<std::string> lines = LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].substr(lines[0].find(" result=")), " result=0");
    EXPECT_TRUE(LogLinesOf(lines, "Authenticate ").empty());
    EXPECT_EQ(WaitForSingleObject(Bridge.Process(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

struct FCutCase
{
    const char* Name;
    std::vector<uint8_t> Written;
};

void PrintTo(const FCutCase& cut, std::ostream* out)
{
    *out << cut.Name;
}

class FParentGoneTest : public FBridgeProcessTest, public ::testing::WithParamInterface<FCutCase>
{
};

// The parent writes part of a request and closes its end of the pipe.
TEST_P(FParentGoneTest, AbandonsTheRequestWritesNothingAndKeepsCycling)
{
    // Approved only after several dispatches, so its notice shows whether the cycle still runs.
    FStandInTicket lateApprove;
    lateApprove.SteamId = User;
    lateApprove.VerdictDelay = 8;
    StartBridge();
    ASSERT_TRUE(Bridge.Write(EncodeAuthenticate(ClientAddress, EncodeStandInTicket(lateApprove))));
    ASSERT_EQ(Hex(ReadReply(12)), AcceptedUser);

    const FCutCase& cut = GetParam();
    ASSERT_TRUE(Bridge.Write(cut.Written));
    // Long enough for the bridge to be waiting for the rest.
    Sleep(150);
    Bridge.CloseInput();

    ExpectNoReplyFor(500);
    EXPECT_TRUE(WaitForLogLine("Notice callback=201 steamid=76561197960287930", 5000))
        << "Steam's dispatch stopped after the parent went away";
    EXPECT_EQ(WaitForSingleObject(Bridge.Process(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the bridge must idle until its idle limit";
    EXPECT_EQ(Bridge.BytesWaiting(), 0u);
    EXPECT_EQ(LogLinesOf(LogLines(), "Authenticate ").size(), 1u) << "Steam was called with a broken request";
}

INSTANTIATE_TEST_SUITE_P(
    CutPoints, FParentGoneTest,
    ::testing::Values(FCutCase{"InCode", {0, 0}}, FCutCase{"InAddress", Concat({LE32(0), {2, 0, 0}})},
                      FCutCase{"InLength", Concat({LE32(0), LE32(ClientAddress), {32}})},
                      FCutCase{"InTicket",
                               Concat({LE32(0), LE32(ClientAddress), LE32(32), {'K', 'V', 'T', '1'}})},
                      FCutCase{"InOversizeTicket", Concat({LE32(0), LE32(ClientAddress), LE32(5000),
                                                           std::vector<uint8_t>(2000, 0x55)})}),
    [](const ::testing::TestParamInfo<FCutCase>& info) { return std::string(info.param.Name); });
