/* The C interface end to end against the real bridge, from a program written in C: requests and
 * replies, the extra environment, pipelined requests, failures with their reasons. Prints each
 * failed check and exits with 1 when there was one. */
#include "bridge_parent.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

#define MAX_POLLS 40
#define POLL_INTERVAL_MS 100
#define TICKET_SIZE 32
#define CLIENT_ADDRESS 0xC0A80117u /* 192.168.1.23 */
#define USER 76561197960287931ull
#define DENY_REASON 2
#define DLL_NOT_FOUND_STATUS 0xC0000135u

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

static void PutLE(uint8_t* out, uint64_t value, int size)
{
    int i;
    for (i = 0; i < size; ++i)
    {
        out[i] = (uint8_t)(value >> (8 * i));
    }
}

/* A stand-in ticket that denies the user at once with the given reason. */
static void DenyTicket(uint8_t* ticket)
{
    memset(ticket, 0, TICKET_SIZE);
    memcpy(ticket, "KVT1", 4);
    PutLE(ticket + 4, USER, 8);
    PutLE(ticket + 12, 1, 4);
    PutLE(ticket + 16, DENY_REASON, 4);
}

static void ProgramPath(const wchar_t* name, wchar_t* path)
{
    wchar_t* slash;
    GetModuleFileNameW(NULL, path, MAX_PATH);
    slash = wcsrchr(path, L'\\');
    wcscpy(slash + 1, name);
}

static int FileContains(const wchar_t* path, const char* text)
{
    char content[8192];
    size_t size;
    FILE* file = _wfopen(path, L"rb");
    if (file == NULL)
    {
        return 0;
    }
    size = fread(content, 1, sizeof(content) - 1, file);
    fclose(file);
    content[size] = '\0';
    return strstr(content, text) != NULL;
}

static void RequestsAndReplies(FKvBridge* bridge, const wchar_t* bridgePath)
{
    wchar_t tempFolder[MAX_PATH];
    wchar_t logPath[MAX_PATH];
    wchar_t logEntry[MAX_PATH + 32];
    const wchar_t* environment[1];
    uint8_t ticket[TICKET_SIZE];
    uint32_t result = 7;
    uint64_t steamId = 7;
    uint32_t count = 0;
    uint32_t seen = 0;
    int poll;
    FKvBridgeEvent event;

    GetTempPathW(MAX_PATH, tempFolder);
    swprintf(logPath, MAX_PATH, L"%lskarveth-c-interface-%lu.log", tempFolder, GetCurrentProcessId());
    DeleteFileW(logPath);
    swprintf(logEntry, MAX_PATH + 32, L"STEAM_STANDIN_LOG=%ls", logPath);
    environment[0] = logEntry;

    CHECK(KvBridgePollEvents(bridge, 0, &count) == KvBridgeNotStarted);
    CHECK(strstr(KvBridgeLastMessage(bridge), "not running") != NULL);
    CHECK(KvBridgeStart(bridge, bridgePath, NULL, environment, 1) == KvBridgeOk);
    CHECK(strcmp(KvBridgeLastMessage(bridge), "ok") == 0);
    CHECK(KvBridgeIsProtected(bridge) == 1);
    CHECK(KvBridgeProcessId(bridge) != 0);

    DenyTicket(ticket);
    CHECK(KvBridgeAuthenticate(bridge, CLIENT_ADDRESS, ticket, TICKET_SIZE, KVBRIDGE_DEFAULT_REPLY_TIMEOUT_MS,
                               &result, &steamId) == KvBridgeOk);
    CHECK(result == 1);
    CHECK(steamId == USER);
    for (poll = 0; poll < MAX_POLLS && seen == 0; ++poll)
    {
        CHECK(KvBridgePollEvents(bridge, KVBRIDGE_DEFAULT_REPLY_TIMEOUT_MS, &seen) == KvBridgeOk);
        if (seen == 0)
        {
            Sleep(POLL_INTERVAL_MS);
        }
    }
    CHECK(seen == 1);
    CHECK(KvBridgeGetEvent(bridge, 0, &event) == KvBridgeOk);
    CHECK(event.SteamId == USER);
    CHECK(event.Type == KvBridgeDeny);
    CHECK(event.Reason == DENY_REASON);
    CHECK(KvBridgeGetEvent(bridge, 1, &event) == KvBridgeBadArgument);
    CHECK(sizeof(FKvBridgeEvent) == 16);
    /* The address reached Steam as the number it is. */
    CHECK(FileContains(logPath, "Authenticate ip=0xc0a80117 length=32"));

    /* Two requests written before their replies, read back in order. */
    CHECK(KvBridgeSendPollEvents(bridge) == KvBridgeOk);
    CHECK(KvBridgeSendAuthenticate(bridge, CLIENT_ADDRESS, ticket, 5) == KvBridgeOk);
    CHECK(KvBridgeAuthenticate(bridge, CLIENT_ADDRESS, ticket, TICKET_SIZE, 0, &result, &steamId) ==
          KvBridgeRepliesOwed);
    CHECK(KvBridgeReadPollReply(bridge, KVBRIDGE_DEFAULT_REPLY_TIMEOUT_MS, &count) == KvBridgeOk);
    CHECK(count == 0);
    CHECK(KvBridgeReadAuthenticateReply(bridge, KVBRIDGE_DEFAULT_REPLY_TIMEOUT_MS, &result, &steamId) ==
          KvBridgeOk);
    CHECK(result == 0);
    CHECK(steamId == 0);

    /* Arguments the library cannot use are refused before anything is written. */
    CHECK(KvBridgeAuthenticate(bridge, CLIENT_ADDRESS, NULL, 5, 0, &result, &steamId) == KvBridgeBadArgument);
    CHECK(KvBridgePollEvents(bridge, 0, NULL) == KvBridgeBadArgument);

    KvBridgeStop(bridge);
    CHECK(KvBridgeProcessId(bridge) == 0);
    CHECK(KvBridgePollEvents(bridge, 0, &count) == KvBridgeNotStarted);
    DeleteFileW(logPath);
}

static void StartUpFailures(FKvBridge* bridge)
{
    wchar_t path[MAX_PATH] = {0};
    uint8_t ticket[TICKET_SIZE];
    uint32_t result = 0;
    uint64_t steamId = 0;
    uint32_t exitStatus = 0;

    ProgramPath(L"nosteam\\authbridge.exe", path);
    CHECK(KvBridgeStart(bridge, path, NULL, NULL, 0) == KvBridgeOk);
    DenyTicket(ticket);
    CHECK(KvBridgeAuthenticate(bridge, CLIENT_ADDRESS, ticket, TICKET_SIZE, KVBRIDGE_DEFAULT_REPLY_TIMEOUT_MS,
                               &result, &steamId) == KvBridgeGone);
    CHECK(KvBridgeLastExitStatus(bridge, &exitStatus) == 1);
    CHECK(exitStatus == DLL_NOT_FOUND_STATUS);
    CHECK(strstr(KvBridgeLastMessage(bridge), "put steam_api.dll beside authbridge.exe") != NULL);
    printf("missing steam_api.dll: %s\n", KvBridgeLastMessage(bridge));

    ProgramPath(L"no-such-folder\\authbridge.exe", path);
    CHECK(KvBridgeStart(bridge, path, NULL, NULL, 0) == KvBridgeStartFailed);
    CHECK(strstr(KvBridgeLastMessage(bridge), "cannot start the bridge") != NULL);
    CHECK(KvBridgeLastExitStatus(bridge, &exitStatus) == 0);
    printf("no bridge at the path: %s\n", KvBridgeLastMessage(bridge));
}

int main(void)
{
    wchar_t bridgePath[MAX_PATH] = {0};
    FKvBridge* bridge = KvBridgeCreate();
    CHECK(bridge != NULL);
    if (bridge == NULL)
    {
        return 1;
    }
    ProgramPath(L"authbridge.exe", bridgePath);
    RequestsAndReplies(bridge, bridgePath);
    StartUpFailures(bridge);
    KvBridgeDestroy(bridge);
    KvBridgeDestroy(NULL);
    printf("%s: %d failed check%s\n", Failures == 0 ? "PASSED" : "FAILED", Failures,
           Failures == 1 ? "" : "s");
    return Failures == 0 ? 0 : 1;
}
