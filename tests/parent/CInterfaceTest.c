/* The C interface end to end against the real bridge, from a program written in C: requests and
 * replies, the extra environment, pipelined requests, the game-loop calls, the start-up check,
 * names, bad arguments, failures with their reasons. Prints each
 * failed check and exits with 1 when there was one. */
#include "bridge_parent.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

#define MAX_POLLS 40
#define POLL_INTERVAL_MS 100
#define MAX_TICKS 300 /* of TICK_MS: far above the few bridge cycles a reply needs */
#define TICK_MS 33
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
    uint8_t raw[4];
    uint32_t exitStatus = 0;

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
    CHECK(KvBridgeProtectionError(bridge) == 0);
    CHECK(KvBridgeProcessId(bridge) != 0);
    CHECK(KvBridgeIsRunning(bridge) == 1);
    CHECK(KvBridgeCheckServing(bridge, KVBRIDGE_DEFAULT_REPLY_TIMEOUT_MS) == KvBridgeOk);

    DenyTicket(ticket);
    CHECK(KvBridgeAuthenticate(bridge, CLIENT_ADDRESS, ticket, TICKET_SIZE, KVBRIDGE_DEFAULT_REPLY_TIMEOUT_MS,
                               &result, &steamId) == KvBridgeOk);
    CHECK(result == 1);
    CHECK(steamId == USER);
    /* The deny comes with the next poll, here the check's; it is kept for the poll below. */
    CHECK(KvBridgeCheckServing(bridge, KVBRIDGE_DEFAULT_REPLY_TIMEOUT_MS) == KvBridgeOk);
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

    /* Raw bytes: a poll of one's own making and its 4-byte empty reply. */
    memset(raw, 0xFF, sizeof(raw));
    PutLE(raw, 1, 4);
    CHECK(KvBridgeWrite(bridge, raw, 4) == KvBridgeOk);
    CHECK(KvBridgeOwedReplies(bridge) == 0);
    CHECK(KvBridgeReadExact(bridge, raw, 4, KVBRIDGE_DEFAULT_REPLY_TIMEOUT_MS) == KvBridgeOk);
    CHECK(raw[0] == 0 && raw[1] == 0 && raw[2] == 0 && raw[3] == 0);

    /* Arguments the library cannot use are refused before anything is written, and said so. */
    CHECK(KvBridgeAuthenticate(bridge, CLIENT_ADDRESS, NULL, 5, 0, &result, &steamId) == KvBridgeBadArgument);
    CHECK(strstr(KvBridgeLastMessage(bridge), "bad argument: ticket is NULL") != NULL);
    CHECK(KvBridgePollEvents(bridge, 0, NULL) == KvBridgeBadArgument);
    CHECK(strstr(KvBridgeLastMessage(bridge), "bad argument: count is NULL") != NULL);
    CHECK(KvBridgeStart(bridge, NULL, NULL, NULL, 0) == KvBridgeBadArgument);
    CHECK(strstr(KvBridgeLastMessage(bridge), "bad argument: exePath is NULL") != NULL);
    CHECK(KvBridgeWrite(bridge, NULL, 4) == KvBridgeBadArgument);
    CHECK(strstr(KvBridgeLastMessage(bridge), "bad argument: data is NULL") != NULL);
    CHECK(KvBridgeWaitForExit(bridge, 0, NULL) == KvBridgeBadArgument);
    CHECK(strstr(KvBridgeLastMessage(bridge), "bad argument: exitStatus is NULL") != NULL);
    CHECK(KvBridgeGetEvent(bridge, 0, &event) == KvBridgeBadArgument);
    CHECK(strcmp(KvBridgeLastMessage(bridge),
                 "bad argument: event index 0 is out of range: the last poll returned 0") == 0);
    /* The bridge was not touched by any of them. */
    CHECK(KvBridgeIsRunning(bridge) == 1);
    CHECK(KvBridgeWaitForExit(bridge, 0, &exitStatus) == KvBridgeTimedOut);
    CHECK(strcmp(KvBridgeLastMessage(bridge), "the bridge still runs after 0 ms") == 0);

    KvBridgeCloseInput(bridge);
    CHECK(KvBridgeSendPollEvents(bridge) == KvBridgeNotStarted);
    KvBridgeStop(bridge);
    CHECK(KvBridgeProcessId(bridge) == 0);
    CHECK(KvBridgeIsRunning(bridge) == 0);
    CHECK(KvBridgeWaitHandle(bridge) == NULL);
    CHECK(KvBridgePollEvents(bridge, 0, &count) == KvBridgeNotStarted);
    CHECK(KvBridgeWaitForExit(bridge, 0, &exitStatus) == KvBridgeNotStarted);
    DeleteFileW(logPath);
}

/* Waits on the handle, a tick at a time, until the oldest reply is ready. */
static int WaitUntilReady(FKvBridge* bridge)
{
    int tick;
    for (tick = 0; tick < MAX_TICKS; ++tick)
    {
        if (KvBridgeReplyReady(bridge))
        {
            return 1;
        }
        WaitForSingleObject((HANDLE)KvBridgeWaitHandle(bridge), TICK_MS);
    }
    return 0;
}

/* Requests sent without waiting, replies read once ready, as from a game loop. */
static void GameLoopCalls(FKvBridge* bridge, const wchar_t* bridgePath)
{
    uint8_t ticket[TICKET_SIZE];
    uint32_t result = 7;
    uint64_t steamId = 7;
    uint32_t count = 0;
    FKvBridgeEvent event;
    char message[256];

    CHECK(KvBridgeStart(bridge, bridgePath, NULL, NULL, 0) == KvBridgeOk);
    CHECK(KvBridgeWaitHandle(bridge) != NULL);
    CHECK(KvBridgeReplyReady(bridge) == 0);
    DenyTicket(ticket);
    CHECK(KvBridgeSendAuthenticate(bridge, CLIENT_ADDRESS, ticket, TICKET_SIZE) == KvBridgeOk);
    CHECK(KvBridgeSendPollEvents(bridge) == KvBridgeOk);
    CHECK(KvBridgeOwedReplies(bridge) == 2);

    /* Asking whether a reply is ready is not an error and leaves the last message alone. */
    CHECK(KvBridgeGetEvent(bridge, 3, &event) == KvBridgeBadArgument);
    strcpy(message, KvBridgeLastMessage(bridge));
    CHECK(WaitUntilReady(bridge));
    CHECK(strcmp(KvBridgeLastMessage(bridge), message) == 0);
    CHECK(KvBridgeReadAuthenticateReply(bridge, 0, &result, &steamId) == KvBridgeOk);
    CHECK(result == 1);
    CHECK(steamId == USER);
    CHECK(WaitUntilReady(bridge));
    CHECK(KvBridgeReadPollReply(bridge, 0, &count) == KvBridgeOk);
    CHECK(count == 1);
    CHECK(KvBridgeGetEvent(bridge, 0, &event) == KvBridgeOk);
    CHECK(event.Type == KvBridgeDeny);
    CHECK(KvBridgeOwedReplies(bridge) == 0);
    CHECK(KvBridgeBytesWaiting(bridge) == 0);
    CHECK(KvBridgeReplyReady(bridge) == 0);
    KvBridgeStop(bridge);
}

static void Names(void)
{
    CHECK(strcmp(KvBridgeErrorName(KvBridgeOk), "ok") == 0);
    CHECK(strcmp(KvBridgeErrorName(KvBridgeTimedOut), "timed out") == 0);
    CHECK(strcmp(KvBridgeErrorName(KvBridgeGone), "bridge gone") == 0);
    CHECK(strcmp(KvBridgeErrorName(KvBridgeRepliesOwed), "replies owed") == 0);
    CHECK(strcmp(KvBridgeErrorName(KvBridgeBadArgument), "bad argument") == 0);
    CHECK(strcmp(KvBridgeErrorName(KvBridgeTooManyEvents), "too many events") == 0);
    CHECK(strcmp(KvBridgeErrorName(KvBridgeWaitFailed), "wait failed") == 0);
    CHECK(strcmp(KvBridgeErrorName(KvBridgeOutOfMemory), "out of memory") == 0);
    /* The values are part of the interface. */
    CHECK(KvBridgeTooManyEvents == 7 && KvBridgeWaitFailed == 8 && KvBridgeOutOfMemory == 101);
    CHECK(strcmp(KvBridgeErrorName(KvBridgeWaitFailed + 1), "unknown") == 0);
    CHECK(strcmp(KvBridgeErrorName(KvBridgeBadArgument - 1), "unknown") == 0);
    CHECK(strcmp(KvBridgeErrorName(42), "unknown") == 0);
    CHECK(strcmp(KvBridgeEventTypeName(KvBridgeApprove), "approve") == 0);
    CHECK(strcmp(KvBridgeEventTypeName(KvBridgeKick), "kick") == 0);
    CHECK(strcmp(KvBridgeEventTypeName(9), "unknown") == 0);
}

static void StartUpFailures(FKvBridge* bridge)
{
    wchar_t path[MAX_PATH] = {0};
    wchar_t folder[MAX_PATH] = {0};
    uint8_t ticket[TICKET_SIZE];
    uint32_t result = 0;
    uint64_t steamId = 0;
    uint32_t exitStatus = 0;

    /* The start-up check finds a bridge without steam_api.dll gone, with its exit status. */
    ProgramPath(L"nosteam\\authbridge.exe", path);
    CHECK(KvBridgeStart(bridge, path, NULL, NULL, 0) == KvBridgeOk);
    CHECK(KvBridgeCheckServing(bridge, KVBRIDGE_DEFAULT_REPLY_TIMEOUT_MS) == KvBridgeGone);
    CHECK(KvBridgeLastExitStatus(bridge, &exitStatus) == 1);
    CHECK(exitStatus == DLL_NOT_FOUND_STATUS);
    printf("start-up check without steam_api.dll: %s\n", KvBridgeLastMessage(bridge));
    CHECK(KvBridgeIsRunning(bridge) == 0);
    CHECK(KvBridgeProcessId(bridge) == 0);
    exitStatus = 0;
    CHECK(KvBridgeWaitForExit(bridge, 0, &exitStatus) == KvBridgeOk);
    CHECK(exitStatus == DLL_NOT_FOUND_STATUS);

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
    CHECK(strstr(KvBridgeLastMessage(bridge), "no-such-folder\\authbridge.exe") != NULL);
    CHECK(KvBridgeLastExitStatus(bridge, &exitStatus) == 0);
    printf("no bridge at the path: %s\n", KvBridgeLastMessage(bridge));

    /* A working directory that does not exist: the text names the program and the directory. */
    ProgramPath(L"authbridge.exe", path);
    ProgramPath(L"no-such-folder", folder);
    CHECK(KvBridgeStart(bridge, path, folder, NULL, 0) == KvBridgeStartFailed);
    CHECK(strstr(KvBridgeLastMessage(bridge), "authbridge.exe\" in \"") != NULL);
    CHECK(strstr(KvBridgeLastMessage(bridge), "no-such-folder\": ") != NULL);
    printf("no working directory: %s\n", KvBridgeLastMessage(bridge));
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
    Names();
    RequestsAndReplies(bridge, bridgePath);
    GameLoopCalls(bridge, bridgePath);
    StartUpFailures(bridge);
    KvBridgeDestroy(bridge);
    KvBridgeDestroy(NULL);
    printf("%s: %d failed check%s\n", Failures == 0 ? "PASSED" : "FAILED", Failures,
           Failures == 1 ? "" : "s");
    return Failures == 0 ? 0 : 1;
}
