/* An example game server in C on the parent-side library (bridge_parent.h): it starts authbridge.exe,
 * confirms at boot that the bridge serves, and then, from a game loop of 30 ticks a second, hands the
 * tickets of joining players to the bridge and polls their verdicts without ever blocking the loop.
 *
 * The players are made up: their tickets come from standin_ticket.h, so the example runs offline,
 * with the stand-in steam_api.dll of the release's stand-in archive beside authbridge.exe. A real
 * server takes each ticket and address from its client's connection and runs beside Valve's
 * steam_api.dll; the rest stays as it is here.
 *   example_server [AUTHBRIDGE_EXE]   (default: authbridge.exe beside this program)
 * Prints what happens and, at the end, each player's outcome; exits with 0 once every player has
 * one, with 1 when the bridge fails or a player is still waiting after MAX_TICKS. */
#include "bridge_parent.h"
#include "standin_ticket.h"

#include <winsock2.h>
#include <windows.h>

#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#define TICK_MS 33
/* A poll every 10 ticks (330 ms): often enough for verdicts, rare enough to leave the bridge's
 * cycles to the tickets. */
#define POLL_EVERY_TICKS 10
/* 30 s: the made-up players are settled within a few seconds, also on a slow machine. */
#define MAX_TICKS 900
#define MAX_OWED 16

typedef enum EPlayerState
{
    PlayerNotJoined,
    PlayerWaiting,  /* the bridge took the ticket; the verdict comes as an event */
    PlayerAdmitted, /* approved; a kick may still come */
    PlayerDenied,
    PlayerRefused, /* the bridge's reply said no at once: not a ticket Steam would check */
    PlayerKicked
} EPlayerState;

/* Who joins when, from where, with what ticket. */
typedef struct FJoin
{
    const char* Name;
    uint8_t Address[4]; /* the client's IPv4 address, as in its dotted form */
    uint32_t Tick;
    FKvStandInTicket Ticket; /* what the stand-in makes of the ticket: who, verdict, kick */
    uint32_t TicketSize;     /* below KVSTANDIN_TICKET_SIZE: a cut ticket */
    int ExpectKick;          /* an admitted player is settled only once the scripted kick came */
} FJoin;

typedef struct FPlayer
{
    const FJoin* Join;
    EPlayerState State;
    uint64_t SteamId;
    int32_t Reason;
} FPlayer;

/* What each request the loop has sent but not read yet was: replies come in the order of the
 * requests and carry no identifier, so the server keeps its own queue. */
typedef enum EOwedKind
{
    OwedAuthenticate,
    OwedPoll
} EOwedKind;

typedef struct FOwed
{
    EOwedKind Kind;
    FPlayer* Player; /* for an Authenticate */
} FOwed;

/* Ada is approved one dispatch late and kicked three later, Brin denied at once, Cato approved two
 * dispatches late; Dex's ticket is cut short, which Steam refuses outright. */
static const FJoin Joins[] = {
    {"Ada",
     {192, 168, 1, 23},
     0,
     {76561197960287930ull, KvStandInApprove, 0, 1, 3, 6},
     KVSTANDIN_TICKET_SIZE,
     1},
    {"Brin",
     {192, 168, 1, 24},
     0,
     {76561197960287931ull, KvStandInDeny, 2, 0, 0, 0},
     KVSTANDIN_TICKET_SIZE,
     0},
    {"Cato",
     {10, 0, 0, 7},
     3,
     {76561197960287932ull, KvStandInApprove, 0, 2, 0, 0},
     KVSTANDIN_TICKET_SIZE,
     0},
    {"Dex",
     {10, 0, 0, 8},
     5,
     {76561197960287933ull, KvStandInApprove, 0, 0, 0, 0},
     KVSTANDIN_TICKET_SIZE - 1,
     0},
};
#define PLAYER_COUNT (sizeof(Joins) / sizeof(Joins[0]))

typedef struct FServer
{
    FKvBridge* Bridge;
    FOwed Owed[MAX_OWED];
    uint32_t OwedFirst;
    uint32_t OwedCount;
    FPlayer Players[PLAYER_COUNT];
} FServer;

static void LogLine(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
    printf("\n");
    fflush(stdout);
}

static void PushOwed(FServer* server, EOwedKind kind, FPlayer* player)
{
    FOwed* owed = &server->Owed[(server->OwedFirst + server->OwedCount) % MAX_OWED];
    owed->Kind = kind;
    owed->Player = player;
    ++server->OwedCount;
}

static int PollOwed(const FServer* server)
{
    uint32_t i;
    for (i = 0; i < server->OwedCount; ++i)
    {
        if (server->Owed[(server->OwedFirst + i) % MAX_OWED].Kind == OwedPoll)
        {
            return 1;
        }
    }
    return 0;
}

/* Starts the bridge and confirms that it serves: a bridge that cannot start (no steam_api.dll
 * beside it, a wrong path) fails the server's boot here, not its first join. */
static int StartBridge(FKvBridge* bridge, const wchar_t* bridgePath)
{
    if (KvBridgeStart(bridge, bridgePath, NULL, NULL, 0) != KvBridgeOk ||
        KvBridgeCheckServing(bridge, KVBRIDGE_DEFAULT_REPLY_TIMEOUT_MS) != KvBridgeOk)
    {
        LogLine("the bridge does not serve: %s", KvBridgeLastMessage(bridge));
        return 0;
    }
    if (!KvBridgeIsProtected(bridge))
    {
        LogLine("note: the bridge is not tied to this process (error %" PRIu32 "); it is ended on exit",
                KvBridgeProtectionError(bridge));
    }
    LogLine("bridge started, process %" PRIu32, KvBridgeProcessId(bridge));
    return 1;
}

/* A player has joined: their ticket goes to the bridge at once, and the reply is read in a later
 * tick. The address is the one the server's socket gives, in host byte order. */
static int SendTicket(FServer* server, FPlayer* player, const struct sockaddr_in* client,
                      const uint8_t* ticket, uint32_t ticketSize)
{
    if (KvBridgeSendAuthenticate(server->Bridge, ntohl(client->sin_addr.s_addr), ticket, ticketSize) !=
        KvBridgeOk)
    {
        LogLine("cannot send %s's ticket: %s", player->Join->Name, KvBridgeLastMessage(server->Bridge));
        return 0;
    }
    PushOwed(server, OwedAuthenticate, player);
    return 1;
}

static int Join(FServer* server, FPlayer* player)
{
    struct sockaddr_in client;
    uint8_t ticket[KVSTANDIN_TICKET_SIZE];
    memset(&client, 0, sizeof(client));
    client.sin_family = AF_INET;
    memcpy(&client.sin_addr, player->Join->Address, sizeof(player->Join->Address));
    KvStandInEncodeTicket(&player->Join->Ticket, ticket);
    LogLine("%s joins from %u.%u.%u.%u", player->Join->Name, player->Join->Address[0],
            player->Join->Address[1], player->Join->Address[2], player->Join->Address[3]);
    player->State = PlayerWaiting;
    return SendTicket(server, player, &client, ticket, player->Join->TicketSize);
}

static FPlayer* PlayerBySteamId(FServer* server, uint64_t steamId)
{
    uint32_t i;
    for (i = 0; i < PLAYER_COUNT; ++i)
    {
        if (server->Players[i].SteamId == steamId && server->Players[i].State != PlayerNotJoined)
        {
            return &server->Players[i];
        }
    }
    return NULL;
}

static void OnAuthenticateReply(FPlayer* player, uint32_t result, uint64_t steamId)
{
    if (result == 1)
    {
        player->SteamId = steamId;
        LogLine("%s: Steam checks the ticket of %" PRIu64, player->Join->Name, steamId);
    }
    else
    {
        player->State = PlayerRefused;
        LogLine("%s: ticket refused at once; disconnect the player", player->Join->Name);
    }
}

static void OnEvent(FServer* server, const FKvBridgeEvent* event)
{
    FPlayer* player = PlayerBySteamId(server, event->SteamId);
    if (player == NULL)
    {
        /* A player who has left: a kick may still come for them. */
        LogLine("event for %" PRIu64 ", no longer connected: ignored", event->SteamId);
        return;
    }
    player->Reason = event->Reason;
    if (event->Type == KvBridgeApprove)
    {
        player->State = PlayerAdmitted;
    }
    else if (event->Type == KvBridgeDeny)
    {
        player->State = PlayerDenied;
    }
    else if (event->Type == KvBridgeKick)
    {
        player->State = PlayerKicked;
    }
    LogLine("%s: %s, reason %" PRId32, player->Join->Name, KvBridgeEventTypeName(event->Type), event->Reason);
}

/* Reads the oldest owed reply, which KvBridgeReplyReady has said is there, with timeout 0. */
static int ReadOneReply(FServer* server)
{
    const FOwed owed = server->Owed[server->OwedFirst];
    int32_t error;
    if (owed.Kind == OwedAuthenticate)
    {
        uint32_t result;
        uint64_t steamId;
        error = KvBridgeReadAuthenticateReply(server->Bridge, 0, &result, &steamId);
        if (error == KvBridgeOk)
        {
            OnAuthenticateReply(owed.Player, result, steamId);
        }
    }
    else
    {
        uint32_t count;
        uint32_t i;
        error = KvBridgeReadPollReply(server->Bridge, 0, &count);
        for (i = 0; error == KvBridgeOk && i < count; ++i)
        {
            FKvBridgeEvent event;
            error = KvBridgeGetEvent(server->Bridge, i, &event);
            if (error == KvBridgeOk)
            {
                OnEvent(server, &event);
            }
        }
    }
    if (error != KvBridgeOk)
    {
        /* The bridge has gone. A real server starts a new one here and sends the tickets of the
         * players still waiting again: the new bridge knows nothing of the old one's. */
        LogLine("the bridge failed: %s", KvBridgeLastMessage(server->Bridge));
        return 0;
    }
    server->OwedFirst = (server->OwedFirst + 1) % MAX_OWED;
    --server->OwedCount;
    return 1;
}

/* Until the tick's time is up: asleep, woken when the bridge's bytes arrive, reading every reply
 * that is ready. Several can arrive together, so it reads while they are. */
static int WaitForNextTick(FServer* server, DWORD tickStart)
{
    const HANDLE arrived = (HANDLE)KvBridgeWaitHandle(server->Bridge);
    for (;;)
    {
        const DWORD elapsed = GetTickCount() - tickStart;
        while (server->OwedCount > 0 && KvBridgeReplyReady(server->Bridge))
        {
            if (!ReadOneReply(server))
            {
                return 0;
            }
        }
        if (server->OwedCount == 0 && !KvBridgeIsRunning(server->Bridge))
        {
            LogLine("the bridge has ended");
            return 0;
        }
        if (elapsed >= TICK_MS)
        {
            return 1;
        }
        WaitForSingleObject(arrived, TICK_MS - elapsed);
    }
}

static int Settled(const FPlayer* player)
{
    switch (player->State)
    {
    case PlayerAdmitted:
        return !player->Join->ExpectKick;
    case PlayerDenied:
    case PlayerRefused:
    case PlayerKicked:
        return 1;
    default:
        return 0;
    }
}

static int AllSettled(const FServer* server)
{
    uint32_t i;
    for (i = 0; i < PLAYER_COUNT; ++i)
    {
        if (!Settled(&server->Players[i]))
        {
            return 0;
        }
    }
    return 1;
}

static void RunGameLoop(FServer* server)
{
    uint32_t tick;
    for (tick = 0; tick < MAX_TICKS && !AllSettled(server); ++tick)
    {
        const DWORD tickStart = GetTickCount();
        uint32_t i;
        for (i = 0; i < PLAYER_COUNT; ++i)
        {
            FPlayer* player = &server->Players[i];
            if (player->State == PlayerNotJoined && player->Join->Tick == tick && !Join(server, player))
            {
                return;
            }
        }
        if (tick % POLL_EVERY_TICKS == 0 && !PollOwed(server))
        {
            if (KvBridgeSendPollEvents(server->Bridge) != KvBridgeOk)
            {
                LogLine("cannot poll: %s", KvBridgeLastMessage(server->Bridge));
                return;
            }
            PushOwed(server, OwedPoll, NULL);
        }
        /* ... the game's own work for the tick ... */
        if (!WaitForNextTick(server, tickStart))
        {
            return;
        }
    }
}

static const char* Outcome(const FPlayer* player)
{
    switch (player->State)
    {
    case PlayerAdmitted:
        return player->Join->ExpectKick ? "admitted, still waiting for the kick" : "admitted";
    case PlayerDenied:
        return "denied";
    case PlayerRefused:
        return "ticket refused";
    case PlayerKicked:
        return "admitted, then kicked";
    case PlayerWaiting:
        return "still waiting for a verdict";
    default:
        return "never joined";
    }
}

int main(int argc, char** argv)
{
    wchar_t bridgePath[MAX_PATH] = {0};
    FServer server;
    uint32_t i;
    int settled;
    if (argc > 1)
    {
        MultiByteToWideChar(CP_ACP, 0, argv[1], -1, bridgePath, MAX_PATH);
    }
    else
    {
        wchar_t* slash;
        GetModuleFileNameW(NULL, bridgePath, MAX_PATH);
        slash = wcsrchr(bridgePath, L'\\');
        lstrcpynW(slash + 1, L"authbridge.exe", (int)(MAX_PATH - (slash + 1 - bridgePath)));
    }

    memset(&server, 0, sizeof(server));
    for (i = 0; i < PLAYER_COUNT; ++i)
    {
        server.Players[i].Join = &Joins[i];
    }
    server.Bridge = KvBridgeCreate();
    if (server.Bridge == NULL)
    {
        LogLine("out of memory");
        return 1;
    }
    if (StartBridge(server.Bridge, bridgePath))
    {
        RunGameLoop(&server);
    }
    /* Ends the bridge; KvBridgeDestroy would too. */
    KvBridgeStop(server.Bridge);
    KvBridgeDestroy(server.Bridge);

    settled = AllSettled(&server);
    LogLine("outcome:");
    for (i = 0; i < PLAYER_COUNT; ++i)
    {
        const FPlayer* player = &server.Players[i];
        if (player->State == PlayerDenied || player->State == PlayerKicked)
        {
            LogLine("  %s: %s, reason %" PRId32, player->Join->Name, Outcome(player), player->Reason);
        }
        else
        {
            LogLine("  %s: %s", player->Join->Name, Outcome(player));
        }
    }
    return settled ? 0 : 1;
}
