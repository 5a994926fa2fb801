// The MinGW-built authbridge.exe against a steam_api.dll built for Microsoft's C++ ABI (bin/msabi/):
// the start-up call, the three registrations read at Microsoft's layout of the callback objects, the
// authenticate call through the sixth vtable slot, and Steam's notices called back through Run as
// Microsoft's compiler calls it, each checked in the library's call log and on the pipe.
#include "BridgeTestSupport.h"
#include "StandInTicket.h"

#include <algorithm>
#include <cstdio>

namespace
{
const wchar_t* const BridgeBesideMsAbiLibrary = L"msabi\\authbridge.exe";

// Both halves of each ID are non-zero, so a Steam ID split or swapped on its way shows.
constexpr uint64_t UserA = 0x01100001000056BAull; // 76561197960287930
constexpr uint64_t UserB = 0x0110000100ABCDEFull; // 76561197971505647
constexpr uint32_t ClientAddress = 0xC0A80117;    // 192.168.1.23
constexpr DWORD NoticeTimeoutMs = 10000;
constexpr size_t LargestServedTicket = 1024;

const std::string Refused = "00000000"
                            "0000000000000000";

std::vector<uint8_t> ApproveTicket(uint64_t steamId, uint32_t kickDelay = 0, int32_t kickReason = 0)
{
    FStandInTicket ticket;
    ticket.SteamId = steamId;
    ticket.KickDelay = kickDelay;
    ticket.KickReason = kickReason;
    return EncodeStandInTicket(ticket);
}

std::vector<uint8_t> DenyTicket(uint64_t steamId, int32_t reason)
{
    FStandInTicket ticket;
    ticket.SteamId = steamId;
    ticket.Verdict = EStandInVerdict::Deny;
    ticket.DenyReason = reason;
    return EncodeStandInTicket(ticket);
}

std::string Accepted(uint64_t steamId)
{
    return "01000000" + Hex(LE64(steamId));
}

// One FAuthEvent as the PollEvents reply carries it.
std::string EventBytes(uint64_t steamId, int32_t type, int32_t reason)
{
    return Hex(
        Concat({LE64(steamId), LE32(static_cast<uint32_t>(type)), LE32(static_cast<uint32_t>(reason))}));
}

// The library's lines for one authenticate call: the interface fetched, then the call on it with the
// Steam ID the bridge handed in (zero) and the one the library filled in.
std::vector<std::string> AuthenticateLines(uint32_t address, const std::vector<uint8_t>& ticket,
                                           bool accepted, uint64_t steamId)
{
    char addressText[16];
    snprintf(addressText, sizeof(addressText), "0x%08x", address);
    return {"SteamGameServer result=interface",
            "Authenticate object=interface ip=" + std::string(addressText) +
                " length=" + std::to_string(ticket.size()) + " ticket=" + Hex(ticket) +
                " steamid-given=0 result=" + (accepted ? "1" : "0") + " steamid=" + std::to_string(steamId)};
}

const std::vector<std::string> StartUpLines = {
    "Init ip=0 steamport=8767 gameport=0 spectatorport=0 queryport=0 mode=2 gamedir=karveth version=1.0.0.0 "
    "result=1",
    // The bridge set the game-server flag (2); registration added 1.
    "RegisterCallback callback=201 flags=3 object=1",
    "RegisterCallback callback=202 flags=3 object=2",
    "RegisterCallback callback=203 flags=3 object=3",
};

std::vector<std::string> Joined(const std::vector<std::vector<std::string>>& parts)
{
    std::vector<std::string> lines;
    for (const std::vector<std::string>& part : parts)
    {
        lines.insert(lines.end(), part.begin(), part.end());
    }
    return lines;
}

class FMsAbiBridgeTest : public FBridgeProcessTest
{
protected:
    void SetUp() override { StartBridge(BridgeBesideMsAbiLibrary); }

    // The whole log, for a failure message: where the bridge and the library parted shows there.
    std::string LogText() const { return ::testing::PrintToString(LogLines()); }
};
} // namespace

TEST_F(FMsAbiBridgeTest, StartsSteamAndRegistersThreeGameServerCallbacks)
{
    ASSERT_TRUE(Bridge.Write(EncodePollEvents()));
    EXPECT_EQ(Hex(ReadReply(4)), "00000000");
    EXPECT_EQ(LogLines(), StartUpLines);
}

TEST_F(FMsAbiBridgeTest, AuthenticateGoesThroughTheSixthSlotAndReturnsTheFilledInSteamId)
{
    std::vector<uint8_t> largest = ApproveTicket(UserA);
    for (size_t i = largest.size(); i < LargestServedTicket; ++i)
    {
        largest.push_back(static_cast<uint8_t>(0xFF - i % 251));
    }
    const struct
    {
        const char* Name;
        uint32_t Address;
        std::vector<uint8_t> Ticket;
        bool Accepted;
        uint64_t SteamId;
    } cases[] = {
        {"approve ticket", ClientAddress, ApproveTicket(UserA), true, UserA},
        {"deny ticket", 0xFFFFFFFF, DenyTicket(UserB, 2), true, UserB},
        {"not a ticket", 0x7F000001, {'h', 'e', 'l', 'l', 'o'}, false, 0},
        {"empty ticket", ClientAddress, {}, false, 0},
        {"largest served ticket", ClientAddress, largest, false, 0},
    };
    std::vector<std::string> expected = StartUpLines;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Name);
        ASSERT_TRUE(Bridge.Write(EncodeAuthenticate(c.Address, c.Ticket)));
        EXPECT_EQ(Hex(ReadReply(12)), c.Accepted ? Accepted(c.SteamId) : Refused);
        const std::vector<std::string> call = AuthenticateLines(c.Address, c.Ticket, c.Accepted, c.SteamId);
        expected.insert(expected.end(), call.begin(), call.end());
    }
    // The two accepted tickets' verdicts are delivered in the cycles that served them, after their calls.
    ASSERT_TRUE(WaitForLogLine("Run callback=202", NoticeTimeoutMs)) << LogText();
    std::vector<std::string> lines = LogLines();
    EXPECT_EQ(
        LogLinesOf(lines, "Notice "),
        (std::vector<std::string>{"Notice callback=201 steamid=" + std::to_string(UserA) + " reason=0",
                                  "Notice callback=202 steamid=" + std::to_string(UserB) + " reason=2"}));
    EXPECT_EQ(LogLinesOf(lines, "Run "),
              (std::vector<std::string>{"Run callback=201 object=1 stack=balanced",
                                        "Run callback=202 object=2 stack=balanced"}));
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const std::string& line)
                               { return line.rfind("Notice ", 0) == 0 || line.rfind("Run ", 0) == 0; }),
                lines.end());
    // No call through any other slot of the interface, and nothing else.
    EXPECT_EQ(lines, expected);
}

TEST_F(FMsAbiBridgeTest, NoticesCalledBackThroughRunReachTheParent)
{
    constexpr int32_t DenyReason = -5;
    constexpr int32_t KickReason = 6;
    constexpr uint32_t KickDelay = 2;
    const std::vector<uint8_t> ticketA = ApproveTicket(UserA, KickDelay, KickReason);
    const std::vector<uint8_t> ticketB = DenyTicket(UserB, DenyReason);
    // Served in two consecutive cycles: A's approve comes with the first one's dispatch, B's deny with
    // the second's, A's kick two dispatches after its approve.
    ASSERT_TRUE(Bridge.Write(
        Concat({EncodeAuthenticate(ClientAddress, ticketA), EncodeAuthenticate(ClientAddress, ticketB)})));
    EXPECT_EQ(Hex(ReadReply(24)), Accepted(UserA) + Accepted(UserB));
    ASSERT_TRUE(WaitForLogLine("Run callback=203", NoticeTimeoutMs)) << LogText();

    ASSERT_TRUE(Bridge.Write(EncodePollEvents()));
    EXPECT_EQ(Hex(ReadReply(4 + 3 * 16)), "03000000" + EventBytes(UserA, 0, -1) +
                                              EventBytes(UserB, 1, DenyReason) +
                                              EventBytes(UserA, 2, KickReason));
    ASSERT_TRUE(Bridge.Write(EncodePollEvents()));
    EXPECT_EQ(Hex(ReadReply(4)), "00000000");

    // Each notice went to the one callback object registered for it, whose Run removed its own
    // argument from the stack as thiscall requires.
    const std::string a = std::to_string(UserA);
    const std::string b = std::to_string(UserB);
    EXPECT_EQ(LogLines(), Joined({StartUpLines,
                                  AuthenticateLines(ClientAddress, ticketA, true, UserA),
                                  {"Notice callback=201 steamid=" + a + " reason=0",
                                   "Run callback=201 object=1 stack=balanced"},
                                  AuthenticateLines(ClientAddress, ticketB, true, UserB),
                                  {"Notice callback=202 steamid=" + b + " reason=-5",
                                   "Run callback=202 object=2 stack=balanced",
                                   "Notice callback=203 steamid=" + a + " reason=6",
                                   "Run callback=203 object=3 stack=balanced"}}));
}
