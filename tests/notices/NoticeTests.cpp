// Steam's notices about users, from the stand-in library through the real authbridge.exe to the
// parent's polls.
#include "BridgeSession.h"
#include "StandInTicket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <iterator>
#include <memory>

namespace
{
constexpr uint32_t ClientAddress = 0xC0A80017; // 192.168.0.23
constexpr DWORD NoticeTimeoutMs = 10000;
constexpr int ApproveCallbackId = 201;
constexpr int DenyCallbackId = 202;
constexpr int KickCallbackId = 203;
constexpr uint8_t GameServerFlag = 2;

FStandInTicket Approve(uint64_t steamId, uint32_t verdictDelay = 0, uint32_t kickDelay = 0,
                       int32_t kickReason = 0)
{
    FStandInTicket ticket;
    ticket.SteamId = steamId;
    ticket.Verdict = EStandInVerdict::Approve;
    ticket.VerdictDelay = verdictDelay;
    ticket.KickDelay = kickDelay;
    ticket.KickReason = kickReason;
    return ticket;
}

FStandInTicket Deny(uint64_t steamId, int32_t reason, uint32_t verdictDelay = 0)
{
    FStandInTicket ticket;
    ticket.SteamId = steamId;
    ticket.Verdict = EStandInVerdict::Deny;
    ticket.DenyReason = reason;
    ticket.VerdictDelay = verdictDelay;
    return ticket;
}

FBridgeEvent Event(uint64_t steamId, EParentEventType type, int32_t reason)
{
    FBridgeEvent event;
    event.SteamId = steamId;
    event.Type = type;
    event.Reason = reason;
    return event;
}

// The events that tickets authenticated in consecutive cycles lead to, in delivery order: by the
// dispatch they fall due in, and in the order they were scheduled within one dispatch.
std::vector<FBridgeEvent> ScriptedEvents(const std::vector<FStandInTicket>& tickets)
{
    struct FDue
    {
        uint32_t Dispatch;
        FBridgeEvent Event;
    };
    std::vector<FDue> scheduled;
    for (uint32_t i = 0; i < tickets.size(); ++i)
    {
        const std::vector<FScriptedEvent> events = ScriptedEvents(tickets[i]);
        std::transform(events.begin(), events.end(), std::back_inserter(scheduled),
                       [i](const FScriptedEvent& scripted) {
                           return FDue{i + scripted.Offset, scripted.Event};
                       });
    }
    std::stable_sort(scheduled.begin(), scheduled.end(),
                     [](const FDue& a, const FDue& b) { return a.Dispatch < b.Dispatch; });
    std::vector<FBridgeEvent> events(scheduled.size());
    std::transform(scheduled.begin(), scheduled.end(), events.begin(),
                   [](const FDue& due) { return due.Event; });
    return events;
}

} // namespace

class NoticeDelivery : public ::testing::Test
{
protected:
    // A fresh bridge for each case of a table.
    void StartBridge()
    {
        Session = std::make_unique<FBridgeSession>();
        ASSERT_TRUE(Session->Start());
    }

    // Writes every Authenticate request at once, so the bridge serves them in consecutive cycles.
    void AuthenticateBackToBack(const std::vector<FStandInTicket>& tickets)
    {
        std::vector<uint8_t> requests;
        for (const FStandInTicket& ticket : tickets)
        {
            const std::vector<uint8_t> request =
                EncodeAuthenticate(ClientAddress, EncodeStandInTicket(ticket));
            requests.insert(requests.end(), request.begin(), request.end());
        }
        ASSERT_TRUE(Session->Parent.Write(requests));
        for (const FStandInTicket& ticket : tickets)
        {
            FAuthenticateReply reply;
            ASSERT_TRUE(Session->Parent.ReadAuthenticateReply(reply));
            EXPECT_EQ(reply.Result, 1u);
            EXPECT_EQ(reply.SteamId, ticket.SteamId);
        }
    }

    // Polls until count events have come, each poll adding what it returned.
    std::vector<FBridgeEvent> PollUntil(size_t count)
    {
        std::vector<FBridgeEvent> all;
        const ULONGLONG deadline = GetTickCount64() + NoticeTimeoutMs;
        while (all.size() < count && GetTickCount64() < deadline)
        {
            std::vector<FBridgeEvent> events;
            EXPECT_TRUE(Session->Parent.PollEvents(events));
            all.insert(all.end(), events.begin(), events.end());
        }
        return all;
    }

    void ExpectEmptyPoll()
    {
        std::vector<FBridgeEvent> events;
        ASSERT_TRUE(Session->Parent.PollEvents(events));
        EXPECT_TRUE(events.empty()) << ::testing::PrintToString(events);
    }

    std::unique_ptr<FBridgeSession> Session;
};

TEST_F(NoticeDelivery, ThreeGameServerNoticesAreRegisteredInOrderBeforeAnyRequest)
{
    StartBridge();
    // Written at once, so the request already waits while the bridge starts up.
    const uint64_t user = IndividualSteamId(1001);
    AuthenticateBackToBack({Approve(user)});
    EXPECT_EQ(PollUntil(1), std::vector<FBridgeEvent>{Event(user, EParentEventType::Approve, -1)});

    const std::vector<std::string> lines = Session->LogLines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0].rfind("Init ", 0), 0u) << lines[0];
    const int expectedIds[] = {ApproveCallbackId, DenyCallbackId, KickCallbackId};
    for (int i = 0; i < 3; ++i)
    {
        const std::string& line = lines[1 + i];
        const std::string prefix = "RegisterCallback callback=" + std::to_string(expectedIds[i]) + " flags=";
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
        const int flags = std::stoi(line.substr(prefix.size()));
        EXPECT_NE(flags & GameServerFlag, 0) << line;
    }
    EXPECT_EQ(lines[4].rfind("Authenticate ", 0), 0u) << lines[4];
    const size_t registrations =
        std::count_if(lines.begin(), lines.end(),
                      [](const std::string& line) { return line.rfind("RegisterCallback ", 0) == 0; });
    EXPECT_EQ(registrations, 3u);
}

TEST_F(NoticeDelivery, NoticeThatArrivesBeforeTheFirstPollIsDeliveredByThatPoll)
{
    StartBridge();
    const uint64_t user = IndividualSteamId(2002);
    AuthenticateBackToBack({Approve(user, 3)});
    ASSERT_TRUE(Session->WaitForLoggedNotices(1, NoticeTimeoutMs));

    std::vector<FBridgeEvent> events;
    ASSERT_TRUE(Session->Parent.PollEvents(events));
    EXPECT_EQ(events, std::vector<FBridgeEvent>{Event(user, EParentEventType::Approve, -1)});
    ExpectEmptyPoll();
}

TEST_F(NoticeDelivery, ApproveAndALaterKickForOneUserGiveTwoEventsInThatOrder)
{
    struct FCase
    {
        uint32_t KickDelay;
        bool WaitForBothBeforePolling;
    };
    // Both in one poll, and (with the kick long after) spread over several polls.
    const FCase cases[] = {{1, true}, {12, false}};
    for (const FCase& c : cases)
    {
        SCOPED_TRACE("kick delay " + std::to_string(c.KickDelay));
        StartBridge();
        const uint64_t user = IndividualSteamId(3003);
        const int32_t kickReason = 7;
        AuthenticateBackToBack({Approve(user, 0, c.KickDelay, kickReason)});
        if (c.WaitForBothBeforePolling)
        {
            ASSERT_TRUE(Session->WaitForLoggedNotices(2, NoticeTimeoutMs));
        }
        const std::vector<FBridgeEvent> expected = {Event(user, EParentEventType::Approve, -1),
                                                    Event(user, EParentEventType::Kick, kickReason)};
        EXPECT_EQ(PollUntil(2), expected);
        ExpectEmptyPoll();
    }
}

TEST_F(NoticeDelivery, InterleavedNoticesForSeveralUsersComeOutInSteamsOrder)
{
    const std::vector<FStandInTicket> tickets = {
        Approve(IndividualSteamId(1), 4, 3, 11), Deny(IndividualSteamId(2), 5),
        Approve(IndividualSteamId(3), 1, 1, 12), Deny(IndividualSteamId(4), 6, 6),
        Approve(IndividualSteamId(5), 0, 8, 13), Approve(IndividualSteamId(6), 2),
        Deny(IndividualSteamId(7), 8, 1),
    };
    const std::vector<FBridgeEvent> scripted = ScriptedEvents(tickets);
    // Polled while the notices arrive, and once after all of them have.
    for (const bool pollWhileArriving : {true, false})
    {
        SCOPED_TRACE(pollWhileArriving ? "polled while arriving" : "polled once at the end");
        StartBridge();
        AuthenticateBackToBack(tickets);
        if (!pollWhileArriving)
        {
            ASSERT_TRUE(Session->WaitForLoggedNotices(scripted.size(), NoticeTimeoutMs));
        }
        const std::vector<FBridgeEvent> events = PollUntil(scripted.size());
        EXPECT_EQ(events, EventsForNotices(Session->LoggedNotices()));
        EXPECT_EQ(events, scripted);
        ExpectEmptyPoll();
    }
}

TEST_F(NoticeDelivery, DenyAndKickReasonsPassThroughUnchanged)
{
    const int32_t reasons[] = {
        INT32_MIN,  INT32_MIN + 1, -2, -1, 0, 1, 2, 0x7FFE, 0x10000, static_cast<int32_t>(0xDEADBEEF),
        0x7FFFFFFE, INT32_MAX};
    StartBridge();
    std::vector<FStandInTicket> tickets;
    uint32_t account = 4000;
    for (const int32_t reason : reasons)
    {
        tickets.push_back(Deny(IndividualSteamId(++account), reason));
        tickets.push_back(Approve(IndividualSteamId(++account), 0, 1, reason));
    }
    AuthenticateBackToBack(tickets);
    const std::vector<FBridgeEvent> events = PollUntil(3 * std::size(reasons));
    ASSERT_EQ(events.size(), 3 * std::size(reasons));

    account = 4000;
    for (const int32_t reason : reasons)
    {
        SCOPED_TRACE("reason " + std::to_string(reason));
        const uint64_t denied = IndividualSteamId(++account);
        const uint64_t kicked = IndividualSteamId(++account);
        auto find = [&events](uint64_t user, EParentEventType type)
        {
            return std::find_if(events.begin(), events.end(),
                                [&](const FBridgeEvent& e) { return e.SteamId == user && e.Type == type; });
        };
        const auto deny = find(denied, EParentEventType::Deny);
        const auto approve = find(kicked, EParentEventType::Approve);
        const auto kick = find(kicked, EParentEventType::Kick);
        ASSERT_NE(deny, events.end());
        ASSERT_NE(approve, events.end());
        ASSERT_NE(kick, events.end());
        EXPECT_EQ(deny->Reason, reason);
        EXPECT_EQ(approve->Reason, -1);
        EXPECT_EQ(kick->Reason, reason);
    }
    EXPECT_EQ(events, EventsForNotices(Session->LoggedNotices()));
}

TEST_F(NoticeDelivery, EventRecordsAreSixteenLittleEndianBytesOnThePipe)
{
    StartBridge();
    // Served in consecutive cycles: the approve falls due in the first, the kick and the deny both
    // in the second, where the kick was scheduled first.
    AuthenticateBackToBack(
        {Approve(0x0110000100BC614EULL, 0, 1, 0x7FFFFFFF), Deny(0xFFFFFFFFFFFFFFFFULL, INT32_MIN)});
    ASSERT_TRUE(Session->WaitForLoggedNotices(3, NoticeTimeoutMs));

    ASSERT_TRUE(Session->Parent.SendPollEvents());
    const std::vector<uint8_t> expected = {
        0x03, 0x00, 0x00, 0x00,                         // three events
        0x4E, 0x61, 0xBC, 0x00, 0x01, 0x00, 0x10, 0x01, // Steam ID
        0x00, 0x00, 0x00, 0x00,                         // approve
        0xFF, 0xFF, 0xFF, 0xFF,                         // reason -1
        0x4E, 0x61, 0xBC, 0x00, 0x01, 0x00, 0x10, 0x01, //
        0x02, 0x00, 0x00, 0x00,                         // kick
        0xFF, 0xFF, 0xFF, 0x7F,                         // reason 0x7FFFFFFF
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, //
        0x01, 0x00, 0x00, 0x00,                         // deny
        0x00, 0x00, 0x00, 0x80,                         // reason INT32_MIN
    };
    std::vector<uint8_t> reply(expected.size());
    ASSERT_TRUE(Session->Parent.ReadExact(reply.data(), reply.size()));
    EXPECT_EQ(reply, expected);

    // The queue is empty afterwards: the next reply is four zero bytes and nothing follows it.
    ASSERT_TRUE(Session->Parent.SendPollEvents());
    uint8_t empty[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    ASSERT_TRUE(Session->Parent.ReadExact(empty, sizeof(empty)));
    EXPECT_EQ(std::vector<uint8_t>(empty, empty + 4), std::vector<uint8_t>(4, 0));
    Sleep(300);
    EXPECT_EQ(Session->Parent.BytesWaiting(), 0u);
}
