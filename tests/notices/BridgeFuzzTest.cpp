// Long random streams of valid and malformed requests against the real authbridge.exe, every reply
// checked against FProtocolModel. Seeded: set KARVETH_FUZZ_SEED to repeat a failing run.
#include "BridgeSession.h"
#include "ProtocolModel.h"
#include "StandInTicket.h"
#include "WireBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <random>
#include <set>

namespace
{
constexpr uint64_t DefaultSeed = 0x4B41525645544831ULL;
constexpr int RequestsPerStream = 400;
constexpr int StreamCount = 3;
constexpr int DyingParentEpisodes = 10;
constexpr uint32_t LargestTicket = 1024;
constexpr uint32_t LargestOversizeTicket = 100000;
constexpr DWORD NoticeTimeoutMs = 10000;

uint64_t BaseSeed()
{
    char text[32];
    const DWORD length = GetEnvironmentVariableA("KARVETH_FUZZ_SEED", text, sizeof(text));
    return length > 0 && length < sizeof(text) ? std::strtoull(text, nullptr, 0) : DefaultSeed;
}

std::string SeedNote(uint64_t seed)
{
    return "seed " + std::to_string(seed) + " (KARVETH_FUZZ_SEED=" + std::to_string(seed) +
           " repeats this run)";
}

enum class ERequestKind
{
    Authenticate,
    Poll,
    Unknown,
};

struct FRequest
{
    ERequestKind Kind = ERequestKind::Poll;
    std::vector<uint8_t> Bytes;
    std::vector<uint8_t> ExpectedReply;
    uint32_t PollNumber = 0;
};

// Makes random requests and tells the model about each one.
class FRequestMaker
{
public:
    FRequestMaker(uint64_t seed, FProtocolModel& model) : Random(seed), Model(model) {}

    FRequest Next()
    {
        const uint32_t roll = Pick(0, 99);
        if (roll < 55)
        {
            return Authenticate(Ticket());
        }
        if (roll < 85)
        {
            return Poll();
        }
        return Unknown();
    }

    FRequest Authenticate(const std::vector<uint8_t>& ticket)
    {
        const uint32_t address = static_cast<uint32_t>(Random());
        FRequest request;
        request.Kind = ERequestKind::Authenticate;
        request.Bytes = EncodeAuthenticate(address, ticket);
        request.ExpectedReply = Model.Authenticate(address, ticket);
        return request;
    }

    FRequest Poll()
    {
        FRequest request;
        request.Kind = ERequestKind::Poll;
        request.Bytes = EncodePollEvents();
        request.PollNumber = Model.Poll();
        return request;
    }

    FRequest Unknown()
    {
        // Small codes next to the real ones as well as any other.
        const uint32_t code = Pick(0, 1) == 0 ? Pick(2, 9) : Pick(2, UINT32_MAX);
        FRequest request;
        request.Kind = ERequestKind::Unknown;
        for (int i = 0; i < 4; ++i)
        {
            request.Bytes.push_back(static_cast<uint8_t>(code >> (8 * i)));
        }
        Model.Unknown();
        return request;
    }

    std::vector<uint8_t> Ticket()
    {
        const uint32_t roll = Pick(0, 99);
        if (roll < 40)
        {
            return EncodeStandInTicket(ValidTicket());
        }
        if (roll < 50)
        {
            return {};
        }
        if (roll < 70)
        {
            return Bytes(Pick(1, LargestTicket));
        }
        if (roll < 85)
        {
            return NearlyValidTicket();
        }
        return OversizeTicket();
    }

    FStandInTicket ValidTicket()
    {
        FStandInTicket ticket;
        ticket.SteamId = NewSteamId();
        ticket.Verdict = Pick(0, 2) == 0 ? EStandInVerdict::Deny : EStandInVerdict::Approve;
        ticket.DenyReason = Reason();
        ticket.VerdictDelay = Pick(0, 1) == 0 ? 0 : Pick(1, 3);
        ticket.KickDelay = Pick(0, 2) == 0 ? Pick(1, 5) : 0;
        ticket.KickReason = Reason();
        return ticket;
    }

    uint32_t Pick(uint32_t low, uint32_t high)
    {
        return std::uniform_int_distribution<uint32_t>(low, high)(Random);
    }

    std::mt19937_64 Random;

private:
    std::vector<uint8_t> Bytes(uint32_t size)
    {
        std::vector<uint8_t> bytes(size);
        std::generate(bytes.begin(), bytes.end(), [this] { return static_cast<uint8_t>(Random()); });
        return bytes;
    }

    // Unique, so that every event names the ticket it came from.
    uint64_t NewSteamId()
    {
        uint64_t id = Random();
        while (!UsedSteamIds.insert(id).second)
        {
            id = Random();
        }
        return id;
    }

    int32_t Reason()
    {
        static const int32_t Edges[] = {INT32_MIN, INT32_MIN + 1, -1, 0, 1, INT32_MAX - 1, INT32_MAX};
        return Pick(0, 1) == 0 ? Edges[Pick(0, std::size(Edges) - 1)] : static_cast<int32_t>(Random());
    }

    // In the ticket format's shape but refused: wrong length, magic or verdict.
    std::vector<uint8_t> NearlyValidTicket()
    {
        std::vector<uint8_t> ticket = EncodeStandInTicket(ValidTicket());
        switch (Pick(0, 4))
        {
        case 0:
            ticket.push_back(0);
            break;
        case 1:
            ticket.pop_back();
            break;
        case 2:
            ticket.resize(LargestTicket, 0);
            break;
        case 3:
            ticket[3] = '2';
            break;
        default:
            ticket[12] = static_cast<uint8_t>(Pick(2, 255));
            break;
        }
        return ticket;
    }

    // Mostly a little over the limit, sometimes far; sometimes a valid ticket leads it.
    std::vector<uint8_t> OversizeTicket()
    {
        const uint32_t size =
            Pick(0, 4) == 0 ? Pick(LargestTicket + 1, LargestOversizeTicket) : Pick(LargestTicket + 1, 4096);
        std::vector<uint8_t> ticket = Bytes(size);
        if (Pick(0, 1) == 0)
        {
            const std::vector<uint8_t> valid = EncodeStandInTicket(ValidTicket());
            std::copy(valid.begin(), valid.end(), ticket.begin());
        }
        return ticket;
    }

    FProtocolModel& Model;
    std::set<uint64_t> UsedSteamIds;
};

std::vector<FBridgeEvent> DecodeEvents(const std::vector<uint8_t>& records)
{
    std::vector<FBridgeEvent> events;
    for (size_t at = 0; at + 16 <= records.size(); at += 16)
    {
        FBridgeEvent event;
        event.SteamId = GetLE64(&records[at]);
        event.Type = static_cast<EParentEventType>(static_cast<int32_t>(GetLE32(&records[at + 8])));
        event.Reason = static_cast<int32_t>(GetLE32(&records[at + 12]));
        events.push_back(event);
    }
    return events;
}

// Reads the replies to the requests in order and checks each against the model.
void ReadReplies(FBridgeSession& session, FProtocolModel& model, const std::vector<FRequest>& requests)
{
    for (const FRequest& request : requests)
    {
        if (request.Kind == ERequestKind::Authenticate)
        {
            std::vector<uint8_t> reply(12);
            ASSERT_TRUE(session.Parent.ReadExact(reply.data(), reply.size())) << "no Authenticate reply";
            ASSERT_EQ(reply, request.ExpectedReply) << "Authenticate reply";
        }
        else if (request.Kind == ERequestKind::Poll)
        {
            uint8_t countBytes[4];
            ASSERT_TRUE(session.Parent.ReadExact(countBytes, sizeof(countBytes))) << "no PollEvents reply";
            const uint32_t count = GetLE32(countBytes);
            ASSERT_LE(count, model.MostEventsFor(request.PollNumber)) << "PollEvents count out of step";
            std::vector<uint8_t> records(static_cast<size_t>(count) * 16);
            ASSERT_TRUE(count == 0 || session.Parent.ReadExact(records.data(), records.size()))
                << "PollEvents records missing";
            const std::string fault = model.CheckPoll(request.PollNumber, DecodeEvents(records));
            ASSERT_TRUE(fault.empty()) << "poll " << request.PollNumber << ": " << fault;
        }
    }
}

// One request whole, a few back to back in one write, or a few cut into pieces at random points
// with pauses between the pieces.
void SendBatch(FBridgeSession& session, FRequestMaker& maker, std::vector<FRequest>& requests)
{
    std::vector<uint8_t> bytes;
    for (const FRequest& request : requests)
    {
        bytes.insert(bytes.end(), request.Bytes.begin(), request.Bytes.end());
    }
    if (maker.Pick(0, 1) == 0 || bytes.size() < 2)
    {
        ASSERT_TRUE(session.Parent.Write(bytes));
        return;
    }
    const uint32_t cuts = maker.Pick(1, 7);
    std::set<size_t> at;
    for (uint32_t i = 0; i < cuts; ++i)
    {
        // Cuts fall in the first few bytes of a request as often as anywhere.
        at.insert(maker.Pick(0, 1) == 0 ? maker.Pick(1, static_cast<uint32_t>(bytes.size() - 1))
                                        : maker.Pick(1, std::min<uint32_t>(16, bytes.size() - 1)));
    }
    at.insert(bytes.size());
    size_t begin = 0;
    for (const size_t end : at)
    {
        ASSERT_TRUE(session.Parent.Write(bytes.data() + begin, end - begin));
        begin = end;
        if (end != bytes.size())
        {
            Sleep(maker.Pick(0, 25));
        }
    }
}

} // namespace

class BridgeFuzz : public ::testing::TestWithParam<int>
{
};

TEST_P(BridgeFuzz, LongStreamOfValidAndMalformedRequestsStaysInStep)
{
    const uint64_t seed = BaseSeed() + static_cast<uint64_t>(GetParam()) * 0x9E3779B97F4A7C15ULL;
    SCOPED_TRACE(SeedNote(BaseSeed()) + ", stream " + std::to_string(GetParam()));
    FProtocolModel model;
    FRequestMaker maker(seed, model);
    FBridgeSession session;
    ASSERT_TRUE(session.Start());

    int sent = 0;
    while (sent < RequestsPerStream)
    {
        const uint32_t batchSize = maker.Pick(0, 2) == 0 ? 1 : maker.Pick(2, 6);
        std::vector<FRequest> batch;
        for (uint32_t i = 0; i < batchSize; ++i)
        {
            batch.push_back(maker.Next());
        }
        sent += static_cast<int>(batchSize);
        SendBatch(session, maker, batch);
        if (HasFatalFailure())
        {
            return;
        }
        ReadReplies(session, model, batch);
        if (HasFatalFailure())
        {
            return;
        }
        ASSERT_EQ(session.Parent.BytesWaiting(), 0u) << "bytes beyond the replies";
    }

    // Every notice still to come falls due within the longest lag; then the queue stays empty.
    for (uint32_t i = 0; i <= model.LongestLag() + 1 && !model.AllDelivered(); ++i)
    {
        std::vector<FRequest> poll = {maker.Poll()};
        ASSERT_TRUE(session.Parent.Write(poll[0].Bytes));
        ReadReplies(session, model, poll);
        if (HasFatalFailure())
        {
            return;
        }
    }
    ASSERT_TRUE(model.AllDelivered());
    std::vector<FBridgeEvent> last;
    ASSERT_TRUE(session.Parent.PollEvents(last));
    EXPECT_TRUE(last.empty());

    // The events came in the order Steam delivered the notices, and Steam saw exactly the calls
    // the model expected: none for oversize tickets.
    EXPECT_EQ(model.Received(), EventsForNotices(session.LoggedNotices()));
    const std::vector<FLoggedAuthenticate> calls = session.LoggedAuthenticates();
    ASSERT_EQ(calls.size(), model.SteamCalls().size());
    for (size_t i = 0; i < calls.size(); ++i)
    {
        const FLoggedAuthenticate& expected = model.SteamCalls()[i];
        EXPECT_EQ(calls[i].Address, expected.Address) << "call " << i;
        EXPECT_EQ(calls[i].Length, expected.Length) << "call " << i;
        EXPECT_EQ(calls[i].Result, expected.Result) << "call " << i;
        EXPECT_EQ(calls[i].SteamId, expected.SteamId) << "call " << i;
    }
    EXPECT_TRUE(session.IsRunning());
}

INSTANTIATE_TEST_SUITE_P(Streams, BridgeFuzz, ::testing::Range(0, StreamCount));

// The start of a request and then nothing: the parent has gone. The bridge must not answer, must
// not hand Steam a half-read ticket, and must go on cycling (here: delivering a notice that falls
// due later) until its idle limit ends it.
TEST(BridgeFuzzDyingParent, ParentThatDiesMidRequestGetsNoReplyAndTheBridgeKeepsCycling)
{
    const uint64_t seed = BaseSeed() ^ 0xD1E5D1E5D1E5D1E5ULL;
    SCOPED_TRACE(SeedNote(BaseSeed()));
    for (int episode = 0; episode < DyingParentEpisodes; ++episode)
    {
        SCOPED_TRACE("episode " + std::to_string(episode));
        FProtocolModel model;
        FRequestMaker maker(seed + static_cast<uint64_t>(episode), model);
        FBridgeSession session;
        ASSERT_TRUE(session.Start());

        std::vector<FRequest> before;
        for (uint32_t i = maker.Pick(0, 3); i > 0; --i)
        {
            before.push_back(maker.Next());
        }
        FStandInTicket late = maker.ValidTicket();
        late.VerdictDelay = maker.Pick(4, 8);
        before.push_back(maker.Authenticate(EncodeStandInTicket(late)));
        for (const FRequest& request : before)
        {
            ASSERT_TRUE(session.Parent.Write(request.Bytes));
        }
        ReadReplies(session, model, before);
        if (HasFatalFailure())
        {
            return;
        }

        // Cut anywhere before the end; no bytes at all is a parent that dies between requests.
        FProtocolModel unused;
        FRequestMaker partialMaker(maker.Random(), unused);
        std::vector<uint8_t> partial = partialMaker.Next().Bytes;
        if (maker.Pick(0, 3) == 0)
        {
            // A header that announces far more ticket than will ever come.
            partial = EncodeAuthenticate(0x7F000001, std::vector<uint8_t>(maker.Pick(0, 64)));
            const uint32_t announced = maker.Pick(0, 1) == 0 ? UINT32_MAX : maker.Pick(65, 1 << 20);
            for (int i = 0; i < 4; ++i)
            {
                partial[8 + i] = static_cast<uint8_t>(announced >> (8 * i));
            }
        }
        partial.resize(maker.Pick(0, static_cast<uint32_t>(partial.size() - 1)));
        SCOPED_TRACE("dies after " + std::to_string(partial.size()) + " bytes of a request");
        ASSERT_TRUE(partial.empty() || session.Parent.Write(partial));
        Sleep(maker.Pick(0, 80));
        session.Parent.CloseInput();

        ASSERT_TRUE(session.WaitForLoggedNotices(model.ExpectedEventCount(), NoticeTimeoutMs))
            << "the bridge stopped cycling";
        Sleep(200);
        EXPECT_EQ(session.Parent.BytesWaiting(), 0u) << "a reply to an unfinished request";
        EXPECT_EQ(session.LoggedAuthenticates().size(), model.SteamCalls().size())
            << "Steam was called for an unfinished request";
        EXPECT_TRUE(session.IsRunning());
    }
}
