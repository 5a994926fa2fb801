// The stand-in's game-server behaviour, in-process: when the interface exists, what an
// authenticate call answers, and when, in which order and to whom the notices are delivered.
#include "StandInTicket.h"
#include "steam_api.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Exported by the stand-in, so that callbacks on the stack can be removed again.
S_API void S_CALLTYPE SteamAPI_UnregisterCallback(CCallbackBase* pCallback);

namespace
{
// Records every notice it receives as text, e.g. "deny 4 reason -5".
template <bool bGameServer> class FNoticeRecorder
{
public:
    FNoticeRecorder()
        : ApproveCallback(this, &FNoticeRecorder::OnApprove), DenyCallback(this, &FNoticeRecorder::OnDeny),
          KickCallback(this, &FNoticeRecorder::OnKick)
    {
    }
    ~FNoticeRecorder() { Unregister(); }
    FNoticeRecorder(const FNoticeRecorder&) = delete;
    FNoticeRecorder& operator=(const FNoticeRecorder&) = delete;

    void Unregister()
    {
        SteamAPI_UnregisterCallback(&ApproveCallback);
        SteamAPI_UnregisterCallback(&DenyCallback);
        SteamAPI_UnregisterCallback(&KickCallback);
    }

    // What arrived since the last call.
    std::vector<std::string> Take()
    {
        std::vector<std::string> taken;
        taken.swap(Received);
        return taken;
    }

private:
    void OnApprove(GSClientApprove_t* notice)
    {
        Received.push_back("approve " + std::to_string(notice->m_SteamID.ConvertToUint64()));
    }
    void OnDeny(GSClientDeny_t* notice)
    {
        Received.push_back("deny " + std::to_string(notice->m_SteamID.ConvertToUint64()) + " reason " +
                           std::to_string(notice->m_eDenyReason));
    }
    void OnKick(GSClientKick_t* notice)
    {
        Received.push_back("kick " + std::to_string(notice->m_SteamID.ConvertToUint64()) + " reason " +
                           std::to_string(notice->m_eDenyReason));
    }

    std::vector<std::string> Received;
    CCallback<FNoticeRecorder, GSClientApprove_t, bGameServer> ApproveCallback;
    CCallback<FNoticeRecorder, GSClientDeny_t, bGameServer> DenyCallback;
    CCallback<FNoticeRecorder, GSClientKick_t, bGameServer> KickCallback;
};

bool Authenticate(const std::vector<uint8_t>& bytes, CSteamID& steamId)
{
    return SteamGameServer()->SendUserConnectAndAuthenticate(0x0A000001, bytes.data(),
                                                             static_cast<uint32>(bytes.size()), &steamId);
}

bool Authenticate(const FStandInTicket& ticket)
{
    CSteamID steamId;
    return Authenticate(EncodeStandInTicket(ticket), steamId);
}

// The library's state is process-wide: every test starts it and leaves it shut down, which also
// drops the notices still scheduled.
class FStandInGameServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SteamGameServer_Init(0, 8767, 0, 0, 0, eServerModeAuthentication, "karveth", "1.0.0.0"));
        ASSERT_NE(SteamGameServer(), nullptr);
    }
    void TearDown() override { SteamGameServer_Shutdown(); }
};
} // namespace

TEST(StandInLifecycle, InterfaceExistsOnlyBetweenInitAndShutdown)
{
    EXPECT_EQ(SteamGameServer(), nullptr);
    for (int round = 0; round < 2; ++round)
    {
        ASSERT_TRUE(SteamGameServer_Init(0, 8767, 0, 0, 0, eServerModeAuthentication, "karveth", "1.0.0.0"));
        EXPECT_NE(SteamGameServer(), nullptr);
        SteamGameServer_Shutdown();
        EXPECT_EQ(SteamGameServer(), nullptr);
    }
}

TEST_F(FStandInGameServerTest, ValidTicketIsAcceptedAndNamesTheUser)
{
    CSteamID steamId;
    EXPECT_TRUE(Authenticate(
        EncodeStandInTicket(FStandInTicket{76561197960287930ull, EStandInVerdict::Deny, 2, 0, 0, 0}),
        steamId));
    EXPECT_EQ(steamId.ConvertToUint64(), 76561197960287930ull);
}

TEST_F(FStandInGameServerTest, RefuseTicketFailsYetNamesTheUserAndSchedulesNothing)
{
    FNoticeRecorder<true> recorder;
    const FStandInTicket refuse{76561197960287930ull, EStandInVerdict::Refuse, 4, 0, 1, 5};
    CSteamID steamId(0x1234);
    EXPECT_FALSE(Authenticate(EncodeStandInTicket(refuse), steamId));
    EXPECT_EQ(steamId.ConvertToUint64(), 76561197960287930ull);
    for (int dispatch = 0; dispatch < 3; ++dispatch)
    {
        SteamGameServer_RunCallbacks();
    }
    EXPECT_TRUE(recorder.Take().empty());
}

// The five functions before it only hold their places in the interface: they do nothing.
TEST_F(FStandInGameServerTest, ReservedFunctionsOfTheInterfaceDoNothing)
{
    FNoticeRecorder<true> recorder;
    ISteamGameServer* gameServer = SteamGameServer();
    gameServer->ReservedSlot0();
    gameServer->ReservedSlot1();
    gameServer->ReservedSlot2();
    gameServer->ReservedSlot3();
    gameServer->ReservedSlot4();
    SteamGameServer_RunCallbacks();
    EXPECT_TRUE(recorder.Take().empty());
    EXPECT_EQ(SteamGameServer(), gameServer);
    EXPECT_TRUE(Authenticate(FStandInTicket{3, EStandInVerdict::Approve, 0, 0, 0, 0}));
}

TEST_F(FStandInGameServerTest, InvalidTicketIsRefusedWithoutTouchingTheIdOrSchedulingNotices)
{
    FNoticeRecorder<true> recorder;
    std::vector<uint8_t> wrongMagic =
        EncodeStandInTicket(FStandInTicket{7, EStandInVerdict::Approve, 0, 0, 0, 0});
    wrongMagic[0] = 'X';
    const std::vector<uint8_t> invalid[] = {
        {}, {'K', 'V', 'T', '1'}, wrongMagic, std::vector<uint8_t>(StandInTicketSize, 0)};
    for (const std::vector<uint8_t>& bytes : invalid)
    {
        CSteamID steamId(0x1234);
        EXPECT_FALSE(Authenticate(bytes, steamId));
        EXPECT_EQ(steamId.ConvertToUint64(), 0x1234u);
    }
    CSteamID steamId(0x1234);
    EXPECT_FALSE(SteamGameServer()->SendUserConnectAndAuthenticate(0, nullptr, StandInTicketSize, &steamId))
        << "no ticket bytes at all";
    EXPECT_EQ(steamId.ConvertToUint64(), 0x1234u);
    for (int dispatch = 0; dispatch < 3; ++dispatch)
    {
        SteamGameServer_RunCallbacks();
    }
    EXPECT_TRUE(recorder.Take().empty());
}

TEST_F(FStandInGameServerTest, NoticesWaitForALaterDispatch)
{
    FNoticeRecorder<true> recorder;
    ASSERT_TRUE(Authenticate(FStandInTicket{7, EStandInVerdict::Approve, 0, 0, 0, 0}));
    EXPECT_TRUE(recorder.Take().empty()) << "delivered inside the authenticate call";
    SteamGameServer_RunCallbacks();
    EXPECT_EQ(recorder.Take(), std::vector<std::string>{"approve 7"});
}

TEST_F(FStandInGameServerTest, NoticesComeInScheduledOrderWithTheirDelays)
{
    FNoticeRecorder<true> recorder;
    ASSERT_TRUE(Authenticate(FStandInTicket{1, EStandInVerdict::Approve, 0, 0, 0, 0}));
    ASSERT_TRUE(Authenticate(FStandInTicket{2, EStandInVerdict::Deny, 2, 2, 0, 0}));
    ASSERT_TRUE(Authenticate(FStandInTicket{3, EStandInVerdict::Approve, 0, 0, 2, 9}));
    ASSERT_TRUE(Authenticate(FStandInTicket{4, EStandInVerdict::Deny, -5, 1, 1, 7}));

    const std::vector<std::vector<std::string>> expected = {
        {"approve 1", "approve 3"},
        {"deny 4 reason -5", "approve 5"},
        {"deny 2 reason 2", "kick 3 reason 9", "kick 4 reason 7"},
        {},
    };
    for (size_t dispatch = 0; dispatch < expected.size(); ++dispatch)
    {
        SteamGameServer_RunCallbacks();
        EXPECT_EQ(recorder.Take(), expected[dispatch]) << "dispatch " << dispatch + 1;
        if (dispatch == 0)
        {
            // Scheduled after user 4's deny, for the very next dispatch.
            ASSERT_TRUE(Authenticate(FStandInTicket{5, EStandInVerdict::Approve, 0, 0, 0, 0}));
        }
    }
}

TEST_F(FStandInGameServerTest, OnlyGameServerCallbacksReceiveNotices)
{
    FNoticeRecorder<false> clientSide;
    FNoticeRecorder<true> gameServer;
    ASSERT_TRUE(Authenticate(FStandInTicket{8, EStandInVerdict::Deny, 3, 0, 1, 4}));
    SteamGameServer_RunCallbacks();
    SteamGameServer_RunCallbacks();
    EXPECT_EQ(gameServer.Take(), (std::vector<std::string>{"deny 8 reason 3", "kick 8 reason 4"}));
    EXPECT_TRUE(clientSide.Take().empty());
}

TEST_F(FStandInGameServerTest, UnregisteredCallbacksReceiveNothingAndASecondRemovalChangesNothing)
{
    FNoticeRecorder<true> kept;
    FNoticeRecorder<true> removed;
    // Its destructor removes the callbacks once more, which must leave the others registered.
    removed.Unregister();
    ASSERT_TRUE(Authenticate(FStandInTicket{6, EStandInVerdict::Approve, 0, 0, 0, 0}));
    SteamGameServer_RunCallbacks();
    EXPECT_EQ(kept.Take(), std::vector<std::string>{"approve 6"});
    EXPECT_TRUE(removed.Take().empty());
    removed.Unregister();
    ASSERT_TRUE(Authenticate(FStandInTicket{7, EStandInVerdict::Approve, 0, 0, 0, 0}));
    SteamGameServer_RunCallbacks();
    EXPECT_EQ(kept.Take(), std::vector<std::string>{"approve 7"});
}

TEST_F(FStandInGameServerTest, ShutdownDropsTheNoticesStillScheduled)
{
    FNoticeRecorder<true> recorder;
    ASSERT_TRUE(Authenticate(FStandInTicket{9, EStandInVerdict::Approve, 0, 1, 1, 1}));
    SteamGameServer_Shutdown();
    ASSERT_TRUE(SteamGameServer_Init(0, 8767, 0, 0, 0, eServerModeAuthentication, "karveth", "1.0.0.0"));
    for (int dispatch = 0; dispatch < 4; ++dispatch)
    {
        SteamGameServer_RunCallbacks();
    }
    EXPECT_TRUE(recorder.Take().empty());
}
