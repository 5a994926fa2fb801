/* A game server written in C99 on what a release hands out: it makes tickets for the stand-in
 * steam_api.dll with standin_ticket.h, authenticates them through bridge_parent.h against the real
 * bridge running on the stand-in, and checks the verdicts, the kick, the refused ticket and what
 * reached the stand-in. The release test builds this file in a C-only project on the unpacked
 * archives. Prints a transcript and each failed check; exits with 1 when a check failed.
 *   standin_server_c [AUTHBRIDGE_EXE]   (default: authbridge.exe beside this program)
 * Built with KARVETH_EXPECTED_VERSION, the version the library's headers must carry. */
#include "bridge_parent.h"
#include "standin_ticket.h"

#include <windows.h>

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_POLLS 60
#define POLL_INTERVAL_MS 100
#define CLIENT_ADDRESS 0xC0A80117u /* 192.168.1.23 */
#define EXPECTED_EVENTS 3

static int Failures = 0;

static void Check(int passed, const char* what, int line)
{
    if (!passed)
    {
        printf("FAILED (line %d): %s\n", line, what);
        ++Failures;
    }
}

#define CHECK(condition) Check((condition) != 0, #condition, __LINE__)

static void ToHex(const uint8_t* bytes, size_t size, char* hex)
{
    size_t i;
    for (i = 0; i < size; ++i)
    {
        sprintf(hex + 2 * i, "%02x", bytes[i]);
    }
}

static int FileContains(const char* path, const char* text)
{
    static char content[16384];
    size_t size;
    FILE* file = fopen(path, "rb");
    if (file == NULL)
    {
        return 0;
    }
    size = fread(content, 1, sizeof(content) - 1, file);
    fclose(file);
    content[size] = '\0';
    return strstr(content, text) != NULL;
}

/* The macros agree with each other and with the version the build expects. */
static void VersionMacros(void)
{
    char built[32];
    snprintf(built, sizeof(built), "%d.%d.%d", KVBRIDGE_VERSION_MAJOR, KVBRIDGE_VERSION_MINOR,
             KVBRIDGE_VERSION_PATCH);
    printf("bridge_parent version %s\n", KVBRIDGE_VERSION_STRING);
    CHECK(strcmp(built, KVBRIDGE_VERSION_STRING) == 0);
    CHECK(strcmp(KARVETH_EXPECTED_VERSION, KVBRIDGE_VERSION_STRING) == 0);
}

/* The header's bytes are those of the documented example ticket. */
static void ExampleTicket(void)
{
    const FKvStandInTicket fields = {76561197960287930ull, KvStandInApprove, 0, 1, 3, 6};
    uint8_t ticket[KVSTANDIN_TICKET_SIZE];
    char hex[2 * KVSTANDIN_TICKET_SIZE + 1];
    KvStandInEncodeTicket(&fields, ticket);
    ToHex(ticket, sizeof(ticket), hex);
    CHECK(strcmp(hex, "4b565431ba560000010010010000000000000000010000000300000006000000") == 0);
}

struct FPlayer
{
    const char* What;
    FKvStandInTicket Fields;
    uint32_t TicketSize; /* below KVSTANDIN_TICKET_SIZE: a cut ticket, which is refused */
    uint32_t ExpectedResult;
};

/* The deny comes first, so that the order of the events holds however slowly this program runs. */
static const struct FPlayer Players[] = {
    {"denied at once for reason 2",
     {76561197960287931ull, KvStandInDeny, 2, 0, 0, 0},
     KVSTANDIN_TICKET_SIZE,
     1},
    {"approved, kicked 3 dispatches later for reason 6",
     {76561197960287930ull, KvStandInApprove, 0, 1, 3, 6},
     KVSTANDIN_TICKET_SIZE,
     1},
    {"cut to 31 bytes", {76561197960287932ull, KvStandInApprove, 0, 0, 0, 0}, KVSTANDIN_TICKET_SIZE - 1, 0},
};

/* The events the players' tickets script, in the order the stand-in delivers them. */
static const FKvBridgeEvent ExpectedEvents[EXPECTED_EVENTS] = {
    {76561197960287931ull, KvBridgeDeny, 2},
    {76561197960287930ull, KvBridgeApprove, -1},
    {76561197960287930ull, KvBridgeKick, 6},
};

static void AuthenticatePlayers(FKvBridge* bridge, const wchar_t* bridgePath)
{
    char tempFolder[MAX_PATH];
    char logPath[MAX_PATH + 64];
    char logEntry[MAX_PATH + 96];
    wchar_t wideEntry[MAX_PATH + 96];
    const wchar_t* environment[1];
    FKvBridgeEvent events[EXPECTED_EVENTS];
    uint32_t seen = 0;
    size_t i;
    int poll;

    GetTempPathA(MAX_PATH, tempFolder);
    snprintf(logPath, sizeof(logPath), "%skarveth-standin-c-%lu.log", tempFolder, GetCurrentProcessId());
    DeleteFileA(logPath);
    snprintf(logEntry, sizeof(logEntry), "STEAM_STANDIN_LOG=%s", logPath);
    MultiByteToWideChar(CP_ACP, 0, logEntry, -1, wideEntry, MAX_PATH + 96);
    environment[0] = wideEntry;

    if (KvBridgeStart(bridge, bridgePath, NULL, environment, 1) != KvBridgeOk)
    {
        printf("FAILED: %s\n", KvBridgeLastMessage(bridge));
        ++Failures;
        return;
    }
    for (i = 0; i < sizeof(Players) / sizeof(Players[0]); ++i)
    {
        const struct FPlayer* player = &Players[i];
        uint8_t ticket[KVSTANDIN_TICKET_SIZE];
        char hex[2 * KVSTANDIN_TICKET_SIZE + 1];
        char logged[128 + 2 * KVSTANDIN_TICKET_SIZE];
        uint32_t result = 7;
        uint64_t steamId = 7;
        KvStandInEncodeTicket(&player->Fields, ticket);
        if (KvBridgeAuthenticate(bridge, CLIENT_ADDRESS, ticket, player->TicketSize,
                                 KVBRIDGE_DEFAULT_REPLY_TIMEOUT_MS, &result, &steamId) != KvBridgeOk)
        {
            printf("FAILED: %s: %s\n", player->What, KvBridgeLastMessage(bridge));
            ++Failures;
            continue;
        }
        printf("%s: result %" PRIu32 ", Steam ID %" PRIu64 "\n", player->What, result, steamId);
        CHECK(result == player->ExpectedResult);
        CHECK(steamId == (result == 1 ? player->Fields.SteamId : 0));
        /* The stand-in saw the ticket byte for byte. */
        ToHex(ticket, player->TicketSize, hex);
        hex[2 * player->TicketSize] = '\0';
        snprintf(logged, sizeof(logged), "length=%" PRIu32 " ticket=%s result=%" PRIu32, player->TicketSize,
                 hex, result);
        CHECK(FileContains(logPath, logged));
    }

    for (poll = 0; poll < MAX_POLLS && seen < EXPECTED_EVENTS; ++poll)
    {
        uint32_t count = 0;
        uint32_t index;
        if (KvBridgePollEvents(bridge, KVBRIDGE_DEFAULT_REPLY_TIMEOUT_MS, &count) != KvBridgeOk)
        {
            printf("FAILED: poll: %s\n", KvBridgeLastMessage(bridge));
            ++Failures;
            break;
        }
        for (index = 0; index < count; ++index)
        {
            FKvBridgeEvent event;
            CHECK(KvBridgeGetEvent(bridge, index, &event) == KvBridgeOk);
            printf("event: Steam ID %" PRIu64 ", type %" PRId32 ", reason %" PRId32 "\n", event.SteamId,
                   event.Type, event.Reason);
            if (seen < EXPECTED_EVENTS)
            {
                events[seen] = event;
            }
            ++seen;
        }
        if (seen < EXPECTED_EVENTS)
        {
            Sleep(POLL_INTERVAL_MS);
        }
    }
    CHECK(seen == EXPECTED_EVENTS);
    for (i = 0; i < EXPECTED_EVENTS && i < seen; ++i)
    {
        CHECK(events[i].SteamId == ExpectedEvents[i].SteamId);
        CHECK(events[i].Type == ExpectedEvents[i].Type);
        CHECK(events[i].Reason == ExpectedEvents[i].Reason);
    }
    KvBridgeStop(bridge);
    DeleteFileA(logPath);
}

int main(int argc, char** argv)
{
    wchar_t bridgePath[MAX_PATH] = {0};
    FKvBridge* bridge;
    if (argc > 1)
    {
        MultiByteToWideChar(CP_ACP, 0, argv[1], -1, bridgePath, MAX_PATH);
    }
    else
    {
        wchar_t* slash;
        GetModuleFileNameW(NULL, bridgePath, MAX_PATH);
        slash = wcsrchr(bridgePath, L'\\');
        wcscpy(slash + 1, L"authbridge.exe");
    }

    VersionMacros();
    ExampleTicket();
    bridge = KvBridgeCreate();
    CHECK(bridge != NULL);
    if (bridge != NULL)
    {
        AuthenticatePlayers(bridge, bridgePath);
        KvBridgeDestroy(bridge);
    }
    printf("%s: %d failed check%s\n", Failures == 0 ? "PASSED" : "FAILED", Failures,
           Failures == 1 ? "" : "s");
    return Failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
