/* The game server's side of authbridge as a plain C interface, for servers written in C or reaching
 * the library through a foreign-function interface. The same code as FBridgeParent (BridgeParent.h),
 * whose comments say what a caller must know; in short:
 *
 * - A handle owns the bridge process it starts, both pipes to it and the job object that ends the
 *   bridge when this process ends. None of them is inheritable. KvBridgeDestroy, KvBridgeStop and a
 *   new KvBridgeStart end the bridge and close all of them.
 * - One thread at a time per handle; different handles are independent.
 * - Every read of a reply waits at most its timeoutMs, counted from the start of the call; a read
 *   that times out loses nothing, and the next read of the same reply continues. Writes are not
 *   timed (the bridge's input holds 1 MiB). KvBridgeStop waits up to 5 s for the bridge to end.
 * - Every call that can fail returns one of EKvBridgeError; KvBridgeLastMessage says why in words,
 *   KvBridgeLastExitStatus gives the bridge's exit status when it has gone.
 *
 * Functions use the C calling convention of the compiler (cdecl on 32-bit Windows). Strings are
 * UTF-16 (wchar_t on Windows); texts returned are UTF-8 and stay valid until the next call on the
 * same handle. */
#ifndef KARVETH_BRIDGE_PARENT_H
#define KARVETH_BRIDGE_PARENT_H

#include "bridge_parent_version.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

/* Reply timeout the library's own programs use: far above the one cycle (about 60 ms) a reply needs. */
#define KVBRIDGE_DEFAULT_REPLY_TIMEOUT_MS 5000u

    typedef struct FKvBridge FKvBridge;

    /* The values every call returns. 1 to 6 are those of EBridgeError in BridgeParent.h. */
    enum EKvBridgeError
    {
        KvBridgeOk = 0,
        KvBridgeNotStarted = 1,  /* no bridge: not started, start failed, stopped or its input closed */
        KvBridgeStartFailed = 2, /* the pipes or the process could not be created */
        KvBridgeTimedOut = 3,    /* the reply was not complete within the timeout; the bridge still runs */
        KvBridgeGone = 4,        /* the bridge has ended; see KvBridgeLastExitStatus */
        KvBridgeShortReply = 5,  /* the bridge ended in the middle of a reply */
        KvBridgeRepliesOwed = 6, /* a request and reply call while replies to Send calls are unread */
        KvBridgeBadArgument = 100
    };

    enum EKvBridgeEventType
    {
        KvBridgeApprove = 0,
        KvBridgeDeny = 1,
        KvBridgeKick = 2
    };

    /* One event of a PollEvents reply; 16 bytes. */
    typedef struct FKvBridgeEvent
    {
        uint64_t SteamId;
        int32_t Type;   /* EKvBridgeEventType */
        int32_t Reason; /* -1 for an approve; Steam's deny-reason code for a deny or a kick */
    } FKvBridgeEvent;

    /* NULL only when memory runs out. */
    FKvBridge* KvBridgeCreate(void);
    /* Ends the bridge if it runs and frees the handle. NULL is allowed. */
    void KvBridgeDestroy(FKvBridge* bridge);

    /* Starts the bridge with its standard input and output on pipes. workingDirectory may be NULL (the
     * caller's). extraEnvironment holds extraCount "NAME=value" texts added to this process's
     * environment; it may be NULL when extraCount is 0. */
    int32_t KvBridgeStart(FKvBridge* bridge, const wchar_t* exePath, const wchar_t* workingDirectory,
                          const wchar_t* const* extraEnvironment, uint32_t extraCount);

    /* One Authenticate request and its reply. clientAddress in host byte order (ntohl(sin_addr.s_addr)).
     * *result is 1 when Steam took the ticket for checking, *steamId the user's Steam ID. */
    int32_t KvBridgeAuthenticate(FKvBridge* bridge, uint32_t clientAddress, const uint8_t* ticket,
                                 uint32_t ticketSize, uint32_t timeoutMs, uint32_t* result,
                                 uint64_t* steamId);

    /* One PollEvents request and its reply; *count events, read with KvBridgeGetEvent until the next poll. */
    int32_t KvBridgePollEvents(FKvBridge* bridge, uint32_t timeoutMs, uint32_t* count);
    int32_t KvBridgeGetEvent(const FKvBridge* bridge, uint32_t index, FKvBridgeEvent* event);

    /* The same in two halves, for writing several requests before reading their replies in order. */
    int32_t KvBridgeSendAuthenticate(FKvBridge* bridge, uint32_t clientAddress, const uint8_t* ticket,
                                     uint32_t ticketSize);
    int32_t KvBridgeSendPollEvents(FKvBridge* bridge);
    int32_t KvBridgeReadAuthenticateReply(FKvBridge* bridge, uint32_t timeoutMs, uint32_t* result,
                                          uint64_t* steamId);
    int32_t KvBridgeReadPollReply(FKvBridge* bridge, uint32_t timeoutMs, uint32_t* count);

    /* Ends the bridge and closes everything the handle owns; the handle can be started again. */
    void KvBridgeStop(FKvBridge* bridge);

    /* What the last call on this handle reported, in words ("ok" after a success). */
    const char* KvBridgeLastMessage(const FKvBridge* bridge);
    /* 1 and the bridge's exit status in *exitStatus when the last call found the bridge gone, else 0. */
    int32_t KvBridgeLastExitStatus(const FKvBridge* bridge, uint32_t* exitStatus);
    /* 1 when the job object ends the bridge with this process, 0 when not (or no bridge runs). */
    int32_t KvBridgeIsProtected(const FKvBridge* bridge);
    /* The bridge's process ID, 0 when none runs. */
    uint32_t KvBridgeProcessId(const FKvBridge* bridge);

#ifdef __cplusplus
}
#endif

#endif
