// The stand-in's ticket format: the bytes a ticket is made of, and which bytes are a ticket.
#include "StandInTicket.h"
#include "WireBytes.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
// Approve 76561197960287930 one dispatch late, then kick it three dispatches later for reason 6.
const char* const ExampleHex = "4b565431"
                               "ba56000001001001"
                               "00000000"
                               "00000000"
                               "01000000"
                               "03000000"
                               "06000000";

FStandInTicket ExampleTicket()
{
    FStandInTicket ticket;
    ticket.SteamId = 76561197960287930ull;
    ticket.Verdict = EStandInVerdict::Approve;
    ticket.VerdictDelay = 1;
    ticket.KickDelay = 3;
    ticket.KickReason = 6;
    return ticket;
}

void ExpectSameTicket(const FStandInTicket& actual, const FStandInTicket& expected)
{
    EXPECT_EQ(actual.SteamId, expected.SteamId);
    EXPECT_EQ(actual.Verdict, expected.Verdict);
    EXPECT_EQ(actual.DenyReason, expected.DenyReason);
    EXPECT_EQ(actual.VerdictDelay, expected.VerdictDelay);
    EXPECT_EQ(actual.KickDelay, expected.KickDelay);
    EXPECT_EQ(actual.KickReason, expected.KickReason);
}
} // namespace

TEST(StandInTicket, EncodesEveryFieldLittleEndianAfterTheMagic)
{
    EXPECT_EQ(EncodeStandInTicket(ExampleTicket()), FromHex(ExampleHex));

    FStandInTicket deny;
    deny.SteamId = 0xFFEEDDCCBBAA9988ull;
    deny.Verdict = EStandInVerdict::Deny;
    deny.DenyReason = -2;
    deny.VerdictDelay = 0xFFFFFFFF;
    deny.KickReason = -1;
    EXPECT_EQ(EncodeStandInTicket(deny), FromHex("4b565431"
                                                 "8899aabbccddeeff"
                                                 "01000000"
                                                 "feffffff"
                                                 "ffffffff"
                                                 "00000000"
                                                 "ffffffff"));
}

TEST(StandInTicket, DecodesWhatWasEncoded)
{
    FStandInTicket deny;
    deny.SteamId = 1;
    deny.Verdict = EStandInVerdict::Deny;
    deny.DenyReason = -7;
    deny.KickDelay = 2;
    deny.KickReason = 0x7FFFFFFF;
    FStandInTicket refuse;
    refuse.SteamId = 0x0110000100ABCDEFull;
    refuse.Verdict = EStandInVerdict::Refuse;
    for (const FStandInTicket& original : {ExampleTicket(), deny, refuse, FStandInTicket()})
    {
        const std::vector<uint8_t> bytes = EncodeStandInTicket(original);
        FStandInTicket decoded;
        decoded.SteamId = 12345;
        ASSERT_TRUE(DecodeStandInTicket(bytes.data(), static_cast<uint32_t>(bytes.size()), decoded));
        ExpectSameTicket(decoded, original);
    }
}

TEST(StandInTicket, RejectsAnythingButOneWellFormedTicket)
{
    const std::vector<uint8_t> good = FromHex(ExampleHex);
    struct FBadCase
    {
        const char* Name;
        std::vector<uint8_t> Bytes;
    };
    std::vector<FBadCase> cases = {
        {"empty", {}},           {"one byte short", {good.begin(), good.end() - 1}},
        {"one byte long", good}, {"two tickets", good},
        {"wrong magic", good},   {"lower-case magic", good},
        {"verdict 3", good},     {"verdict in a high byte", good},
    };
    cases[2].Bytes.push_back(0);
    cases[3].Bytes.insert(cases[3].Bytes.end(), good.begin(), good.end());
    cases[4].Bytes[3] = '2';
    cases[5].Bytes[0] = 'k';
    cases[6].Bytes[12] = 3;
    cases[7].Bytes[15] = 1;

    const FStandInTicket untouched = ExampleTicket();
    for (const FBadCase& c : cases)
    {
        SCOPED_TRACE(c.Name);
        FStandInTicket decoded = untouched;
        EXPECT_FALSE(DecodeStandInTicket(c.Bytes.data(), static_cast<uint32_t>(c.Bytes.size()), decoded));
        ExpectSameTicket(decoded, untouched);
    }
    FStandInTicket decoded = untouched;
    EXPECT_FALSE(DecodeStandInTicket(nullptr, StandInTicketSize, decoded));
    ExpectSameTicket(decoded, untouched);
}
