// The bridge's requests and replies, byte for byte, over real pipes to the real authbridge.exe.
#include "BridgeTestSupport.h"
#include "StandInTicket.h"

namespace
{
// 76561197960287930: universe 1, account type 1, instance 1, account 22202.
constexpr uint64_t UserA = 0x01100001000056BAull;
constexpr uint64_t UserB = 0x0110000100ABCDEFull;
constexpr uint32_t ClientAddress = 0xC0A80117; // 192.168.1.23

// The bridge's ticket buffer: longer tickets are not handed to Steam.
constexpr size_t LargestServedTicket = 1024;

const std::string NoSteamId = "0000000000000000";

std::vector<uint8_t> ApproveTicket(uint64_t steamId)
{
    FStandInTicket ticket;
    ticket.SteamId = steamId;
    return EncodeStandInTicket(ticket);
}

std::string Accepted(uint64_t steamId)
{
    return "01000000" + Hex(LE64(steamId));
}

const std::string Refused = "00000000" + NoSteamId;

std::string ApproveEvent(uint64_t steamId)
{
    return Hex(LE64(steamId)) + "00000000" + "ffffffff";
}
} // namespace

TEST_F(FBridgeProcessTest, PollWithNothingQueuedRepliesFourZeroBytes)
{
    StartBridge();
    ASSERT_TRUE(Bridge.Write(EncodePollEvents()));
    EXPECT_EQ(Hex(ReadReply(4)), "00000000");
    // Two polls in a row: the second finds the queue empty again.
    ASSERT_TRUE(Bridge.Write(Concat({EncodePollEvents(), EncodePollEvents()})));
    EXPECT_EQ(Hex(ReadReply(8)), "0000000000000000");
    ExpectNoReplyFor(200);
}

TEST_F(FBridgeProcessTest, StartsSteamWithTheBridgeArgumentsBeforeRegisteringNotices)
{
    StartBridge();
    ASSERT_TRUE(Bridge.Write(EncodePollEvents()));
    ReadReply(4);
    const std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0],
              "Init ip=0 steamport=8767 gameport=0 spectatorport=0 queryport=0 mode=2 gamedir=karveth "
              "version=1.0.0.0 result=1");
    EXPECT_EQ(lines[1], "RegisterCallback callback=201 flags=3");
    EXPECT_EQ(lines[2], "RegisterCallback callback=202 flags=3");
    EXPECT_EQ(lines[3], "RegisterCallback callback=203 flags=3");
}

struct FAuthenticateCase
{
    const char* Name;
    uint32_t Address;
    std::vector<uint8_t> Ticket;
    std::string Reply;
};

TEST_F(FBridgeProcessTest, AuthenticateRepliesWithSteamsVerdictAndTheFilledInSteamId)
{
    FStandInTicket deny;
    deny.SteamId = UserB;
    deny.Verdict = EStandInVerdict::Deny;
    deny.DenyReason = 2;
    FStandInTicket refuse;
    refuse.SteamId = UserB;
    refuse.Verdict = EStandInVerdict::Refuse;
    std::vector<uint8_t> wrongMagic = ApproveTicket(UserA);
    wrongMagic[3] = '2';
    std::vector<uint8_t> cutShort = ApproveTicket(UserA);
    cutShort.pop_back();

    const FAuthenticateCase cases[] = {
        {"approve ticket", ClientAddress, ApproveTicket(UserA), Accepted(UserA)},
        // The stand-in accepts a deny ticket at once; the deny notice comes later.
        {"deny ticket", 0x0A000001, EncodeStandInTicket(deny), Accepted(UserB)},
        // Steam refused the ticket but named the user: the bridge passes the ID on as Steam left it.
        {"refused ticket naming its user", ClientAddress, EncodeStandInTicket(refuse),
         "00000000" + Hex(LE64(UserB))},
        {"wrong magic", ClientAddress, wrongMagic, Refused},
        {"one byte short", ClientAddress, cutShort, Refused},
        {"not a ticket", 0, {'h', 'e', 'l', 'l', 'o'}, Refused},
    };
    StartBridge();
    for (const FAuthenticateCase& c : cases)
    {
        SCOPED_TRACE(c.Name);
        ASSERT_TRUE(Bridge.Write(EncodeAuthenticate(c.Address, c.Ticket)));
        // A refused ticket still gets the full 12 bytes.
        EXPECT_EQ(Hex(ReadReply(12)), c.Reply);
    }
    ExpectNoReplyFor(200);
    EXPECT_EQ(LogLinesOf(LogLines(), "Authenticate ").size(), std::size(cases));
}

TEST_F(FBridgeProcessTest, TicketBytesAndAddressReachSteamUnchanged)
{
    std::vector<uint8_t> everyByte(256);
    for (size_t i = 0; i < everyByte.size(); ++i)
    {
        everyByte[i] = static_cast<uint8_t>(i);
    }
    // The largest ticket the bridge serves; it begins like a valid ticket but is too long to be one.
    std::vector<uint8_t> largest = ApproveTicket(UserA);
    for (size_t i = largest.size(); i < LargestServedTicket; ++i)
    {
        largest.push_back(static_cast<uint8_t>(0xFF - i % 251));
    }
    const struct
    {
        uint32_t Address;
        std::vector<uint8_t> Ticket;
        const char* Logged;
    } cases[] = {
        {ClientAddress, ApproveTicket(UserA), "Authenticate ip=0xc0a80117 length=32 ticket="},
        {0xFFFFFFFF, everyByte, "Authenticate ip=0xffffffff length=256 ticket="},
        {0x7F000001, largest, "Authenticate ip=0x7f000001 length=1024 ticket="},
    };

    StartBridge();
    for (const auto& c : cases)
    {
        ASSERT_TRUE(Bridge.Write(EncodeAuthenticate(c.Address, c.Ticket)));
        ReadReply(12);
    }
    const std::vector<std::string> calls = LogLinesOf(LogLines(), "Authenticate ");
    ASSERT_EQ(calls.size(), std::size(cases));
    for (size_t i = 0; i < calls.size(); ++i)
    {
        EXPECT_EQ(calls[i].substr(0, calls[i].find(" result=")), cases[i].Logged + Hex(cases[i].Ticket));
    }
}

TEST_F(FBridgeProcessTest, ZeroLengthTicketCallsSteamWithLengthZero)
{
    StartBridge();
    ASSERT_TRUE(Bridge.Write(EncodeAuthenticate(ClientAddress, {})));
    EXPECT_EQ(Hex(ReadReply(12)), Refused);
    // Nothing after the length was taken as ticket bytes: the next request is served as written.
    ASSERT_TRUE(Bridge.Write(EncodePollEvents()));
    EXPECT_EQ(Hex(ReadReply(4)), "00000000");
    EXPECT_EQ(LogLinesOf(LogLines(), "Authenticate "),
              std::vector<std::string>{"Authenticate ip=0xc0a80117 length=0 ticket= result=0 steamid=0"});
}

TEST_F(FBridgeProcessTest, UnknownCodeConsumesFourBytesAndGetsNoReply)
{
    const uint32_t unknownCodes[] = {2, 0x100, 0xFFFFFFFF};
    StartBridge();
    for (uint32_t code : unknownCodes)
    {
        SCOPED_TRACE(code);
        ASSERT_TRUE(Bridge.Write(LE32(code)));
        ExpectNoReplyFor(200);
        // The bytes after an unknown code are the next request.
        ASSERT_TRUE(
            Bridge.Write(Concat({LE32(code), EncodeAuthenticate(ClientAddress, ApproveTicket(UserA))})));
        EXPECT_EQ(Hex(ReadReply(12)), Accepted(UserA));
        ExpectNoReplyFor(200);
    }
}

TEST_F(FBridgeProcessTest, RequestsWrittenBackToBackAreServedInOrderOnePerCycle)
{
    StartBridge();

    // Steam dispatches between the two requests, so the poll already finds A's approve notice.
    ASSERT_TRUE(
        Bridge.Write(Concat({EncodeAuthenticate(ClientAddress, ApproveTicket(UserA)), EncodePollEvents()})));
    EXPECT_EQ(Hex(ReadReply(12 + 4 + 16)), Accepted(UserA) + "01000000" + ApproveEvent(UserA));

    ASSERT_TRUE(
        Bridge.Write(Concat({EncodePollEvents(), EncodeAuthenticate(ClientAddress, ApproveTicket(UserB)),
                             EncodeAuthenticate(ClientAddress, ApproveTicket(UserA)), EncodePollEvents()})));
    EXPECT_EQ(Hex(ReadReply(4 + 12 + 12 + 4 + 32)), "00000000" + Accepted(UserB) + Accepted(UserA) +
                                                        "02000000" + ApproveEvent(UserB) +
                                                        ApproveEvent(UserA));
    ExpectNoReplyFor(200);
}

TEST_F(FBridgeProcessTest, RequestWrittenInPiecesIsReadWhole)
{
    const std::vector<uint8_t> authenticate = EncodeAuthenticate(ClientAddress, ApproveTicket(UserA));
    // Piece sizes: one through every field boundary, one that splits each field.
    const std::vector<size_t> splits[] = {{4, 4, 4, 32}, {1, 2, 3, 5, 7, 11, 15}};
    StartBridge();
    for (const std::vector<size_t>& pieces : splits)
    {
        size_t offset = 0;
        for (size_t size : pieces)
        {
            ASSERT_TRUE(Bridge.Write(authenticate.data() + offset, size));
            offset += size;
            // Longer than a cycle: the bridge is waiting in the middle of the request.
            Sleep(90);
            if (offset < authenticate.size())
            {
                EXPECT_EQ(Bridge.BytesWaiting(), 0u) << "a reply before the request was complete";
            }
        }
        ASSERT_EQ(offset, authenticate.size());
        EXPECT_EQ(Hex(ReadReply(12)), Accepted(UserA));
    }
    const std::vector<uint8_t> poll = EncodePollEvents();
    ASSERT_TRUE(Bridge.Write(poll.data(), 1));
    Sleep(90);
    ASSERT_TRUE(Bridge.Write(poll.data() + 1, 3));
    EXPECT_EQ(Hex(ReadReply(4 + 32)), "02000000" + ApproveEvent(UserA) + ApproveEvent(UserA));

    const std::vector<std::string> calls = LogLinesOf(LogLines(), "Authenticate ");
    ASSERT_EQ(calls.size(), 2u);
    for (const std::string& call : calls)
    {
        EXPECT_EQ(call, "Authenticate ip=0xc0a80117 length=32 ticket=" + Hex(ApproveTicket(UserA)) +
                            " result=1 steamid=76561197960287930");
    }
}
