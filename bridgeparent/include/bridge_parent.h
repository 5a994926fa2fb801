/* The game server's side of authbridge as a plain C interface, for servers written in C or reaching
 * the library through a foreign-function interface. The same code as FBridgeParent (BridgeParent.h),
 * whose comments say what a caller must know; in short:
 *
 * - A handle owns the bridge process it starts, both pipes to it and the job object that ends the
 *   bridge when this process ends. None of them is inheritable. KvBridgeDestroy, KvBridgeStop and a
 *   new KvBridgeStart end the bridge and close all of them.
 * - One thread at a time per handle; different handles are independent.
 * - Every read of a reply waits at most its timeoutMs, counted from the start of the call, asleep in
 *   the kernel (no CPU) until bytes arrive, the bridge ends or the time is up; timeoutMs 0 does not
 *   wait. A read that times out loses nothing, and the next read of the same reply continues. Only
 *   these wait longer: a read that finds the bridge's output closed while its process has not
 *   quite ended waits up to 2 s more for its exit status; writes (KvBridgeWrite, KvBridgeSend...
 *   and the request half of KvBridgeAuthenticate and KvBridgePollEvents) are not timed and return
 *   at once unless the bridge's input holds 1 MiB unread, when they block until the bridge reads;
 *   KvBridgeStop, KvBridgeStart and KvBridgeDestroy wait up to 5 s for a running bridge to end.
 * - A child that another thread starts with inheritance of every handle while KvBridgeStart creates
 *   the bridge can receive the bridge's pipe ends (see BridgeParent.h); the library watches the
 *   bridge's process, so an ended bridge is reported at once all the same.
 * - Any bytes from the bridge are safe: a poll reply that announces more than
 *   KVBRIDGE_MAX_POLL_EVENTS events is refused with KvBridgeTooManyEvents, nothing allocated for it.
 * - Every call that can fail returns an int32_t holding one of EKvBridgeError; KvBridgeLastMessage
 *   says why in words, KvBridgeLastExitStatus gives the bridge's exit status when it has gone. No
 *   call lets an exception out: when memory runs out it returns KvBridgeOutOfMemory (the last
 *   message is then "out of memory").
 * - Arguments are checked where a comment below says so: a NULL handle, a NULL pointer the call
 *   needs, an index out of range. Such a call does nothing else and returns KvBridgeBadArgument,
 *   and (unless the handle itself is NULL) the last message names the argument.
 * - From a game loop: KvBridgeSend... do not wait for the reply, KvBridgeReplyReady says each tick whether
 * the reply can be read, KvBridgeRead... with timeoutMs 0 reads it, and KvBridgeWaitHandle gives an event to
 * wait on together with the server's own.
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
/* The most events a poll reply may carry: MaxPollEvents of BridgeParent.h, which says why. */
#define KVBRIDGE_MAX_POLL_EVENTS 1048576u

    typedef struct FKvBridge FKvBridge;

    /* The values every call returns. 1 to 8 are those of EBridgeError in BridgeParent.h. */
    enum EKvBridgeError
    {
        KvBridgeOk = 0,
        KvBridgeNotStarted = 1,    /* no bridge: not started, start failed, stopped or its input closed */
        KvBridgeStartFailed = 2,   /* the pipes or the process could not be created */
        KvBridgeTimedOut = 3,      /* the reply was not complete within the timeout; the bridge still runs */
        KvBridgeGone = 4,          /* the bridge has ended; see KvBridgeLastExitStatus */
        KvBridgeShortReply = 5,    /* the bridge ended in the middle of a reply */
        KvBridgeRepliesOwed = 6,   /* a request and reply call while replies to Send calls are unread */
        KvBridgeTooManyEvents = 7, /* a poll reply announced more than KVBRIDGE_MAX_POLL_EVENTS events: not
                                      authbridge, or out of step; its bytes stay for KvBridgeReadExact */
        KvBridgeWaitFailed = 8,    /* waiting for the bridge failed; the last message names the error */
        KvBridgeBadArgument = 100,
        KvBridgeOutOfMemory = 101 /* the call could not get the memory it needs; nothing escaped */
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
     * environment; it may be NULL when extraCount is 0. Checked: bridge, exePath, extraEnvironment
     * and each of its entries. A start that fails names the program and the working directory. */
    int32_t KvBridgeStart(FKvBridge* bridge, const wchar_t* exePath, const wchar_t* workingDirectory,
                          const wchar_t* const* extraEnvironment, uint32_t extraCount);

    /* One PollEvents round trip that confirms the bridge serves, to be called once after
     * KvBridgeStart: KvBridgeGone with the bridge's exit status (KvBridgeLastExitStatus, e.g.
     * 0xC0000135 when steam_api.dll is missing) when it has ended instead. The events it polled are
     * kept and come first in the next poll's reply. Checked: bridge. */
    int32_t KvBridgeCheckServing(FKvBridge* bridge, uint32_t timeoutMs);

    /* One Authenticate request and its reply. clientAddress in host byte order (ntohl(sin_addr.s_addr)).
     * *result is 1 when Steam took the ticket for checking, *steamId the user's Steam ID. Checked:
     * bridge, ticket (may be NULL only when ticketSize is 0), result, steamId. */
    int32_t KvBridgeAuthenticate(FKvBridge* bridge, uint32_t clientAddress, const uint8_t* ticket,
                                 uint32_t ticketSize, uint32_t timeoutMs, uint32_t* result,
                                 uint64_t* steamId);

    /* One PollEvents request and its reply; *count events, read with KvBridgeGetEvent until the next
     * poll. Checked: bridge, count. */
    int32_t KvBridgePollEvents(FKvBridge* bridge, uint32_t timeoutMs, uint32_t* count);
    /* Event index of the last poll. Checked: bridge, event, index (below the poll's count). */
    int32_t KvBridgeGetEvent(FKvBridge* bridge, uint32_t index, FKvBridgeEvent* event);

    /* The same in two halves, for writing several requests before reading their replies in order, and
     * for a game loop. Checked: bridge, ticket as above, and the output pointers. */
    int32_t KvBridgeSendAuthenticate(FKvBridge* bridge, uint32_t clientAddress, const uint8_t* ticket,
                                     uint32_t ticketSize);
    int32_t KvBridgeSendPollEvents(FKvBridge* bridge);
    int32_t KvBridgeReadAuthenticateReply(FKvBridge* bridge, uint32_t timeoutMs, uint32_t* result,
                                          uint64_t* steamId);
    int32_t KvBridgeReadPollReply(FKvBridge* bridge, uint32_t timeoutMs, uint32_t* count);

    /* Without waiting: 1 when the reply to the oldest unread KvBridgeSend... call has arrived whole,
     * when it is refused (KvBridgeTooManyEvents), or when the bridge has gone (the read then says so
     * at once); 0 while it is on its way, when no reply is owed, and for a NULL handle. Not an error
     * either way: the last message stays as it was, unless memory ran out: then 1, so that the read
     * tries again, and the last message says so. */
    int32_t KvBridgeReplyReady(FKvBridge* bridge);
    /* A Windows event handle (HANDLE), signalled once bytes of the bridge have arrived that no call
     * has collected yet, and once the bridge has gone (its process has ended, whoever holds its
     * output); KvBridgeReplyReady and the reads collect them.
     * Several replies can arrive at once: after a read, ask KvBridgeReplyReady again before waiting.
     * Do not close it; valid until KvBridgeStop, KvBridgeStart or KvBridgeDestroy. NULL when no
     * bridge was started. */
    void* KvBridgeWaitHandle(const FKvBridge* bridge);
    /* Replies of KvBridgeSend... calls not read yet. */
    uint32_t KvBridgeOwedReplies(const FKvBridge* bridge);
    /* Bytes the bridge has written that no read has returned yet; 0 when memory ran out (the last
     * message says so). */
    uint32_t KvBridgeBytesWaiting(FKvBridge* bridge);

    /* Raw bytes on the bridge's input, written whole, and exactly size raw bytes of its output, for
     * requests of the caller's own making; not counted as owed replies. Checked: bridge, data or
     * buffer (may be NULL only when size is 0). */
    int32_t KvBridgeWrite(FKvBridge* bridge, const void* data, uint32_t size);
    int32_t KvBridgeReadExact(FKvBridge* bridge, void* buffer, uint32_t size, uint32_t timeoutMs);

    /* Closes the bridge's input, as a parent that goes away would. */
    void KvBridgeCloseInput(FKvBridge* bridge);
    /* Ends the bridge and closes everything the handle owns; the handle can be started again. */
    void KvBridgeStop(FKvBridge* bridge);
    /* 1 while the bridge's process runs, else 0. */
    int32_t KvBridgeIsRunning(const FKvBridge* bridge);
    /* KvBridgeOk and its exit status in *exitStatus once the bridge has ended within timeoutMs;
     * KvBridgeTimedOut while it still runs; KvBridgeNotStarted without a bridge. Checked: bridge,
     * exitStatus. */
    int32_t KvBridgeWaitForExit(FKvBridge* bridge, uint32_t timeoutMs, uint32_t* exitStatus);

    /* What the last call on this handle reported, in words ("ok" after a success). */
    const char* KvBridgeLastMessage(const FKvBridge* bridge);
    /* 1 and the bridge's exit status in *exitStatus when the last call found the bridge ended, else 0. */
    int32_t KvBridgeLastExitStatus(const FKvBridge* bridge, uint32_t* exitStatus);
    /* 1 when the job object ends the bridge with this process, 0 when not (or no bridge runs). */
    int32_t KvBridgeIsProtected(const FKvBridge* bridge);
    /* When the bridge runs unprotected: the Windows error that prevented the tie, else 0. */
    uint32_t KvBridgeProtectionError(const FKvBridge* bridge);
    /* The bridge's process ID; 0 when none runs, also once it has ended. */
    uint32_t KvBridgeProcessId(const FKvBridge* bridge);

    /* Short names for logs, e.g. "timed out", "bad argument", "approve"; "unknown" for other values.
     * The texts are constant. */
    const char* KvBridgeErrorName(int32_t error);
    const char* KvBridgeEventTypeName(int32_t type);

#ifdef __cplusplus
}
#endif

#endif
