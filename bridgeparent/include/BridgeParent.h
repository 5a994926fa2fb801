// The game server's side of authbridge: starts the bridge on pipes, sends its two requests and
// decodes the replies. Written against the wire format alone (docs/parent-protocol.md); it shares
// no code with the bridge. A plain C interface over the same code is in bridge_parent.h.
//
// What a caller must know:
//
// Ownership. An FBridgeParent owns the bridge process it starts, both pipes to it and the job
// object that ties the bridge's life to this process. None of the handles this instance keeps is
// inheritable. The destructor, Kill() and a new Start() end the bridge and close all of them.
//
// Threads. Use one instance from one thread at a time; it takes no lock. It may pass from thread to
// thread, also after the thread that used it has exited. Different instances are independent and
// may be used on different threads at once.
//
// Other children of this process. To hand the bridge its ends of the pipes, Windows needs them
// inheritable while Start() creates the bridge's process (the bridge alone receives them, from a
// list). A child that another thread of this process starts in that moment with inheritance of
// every handle (CreateProcess with bInheritHandles TRUE) can therefore receive them too, and then
// keeps the bridge's output open after the bridge has ended, or its input after Kill(). The library
// does not rely on the pipe breaking: it watches the bridge's process, so reads, ReplyReady(),
// BytesWaiting() and WaitHandle() report a bridge that has ended as promptly as ever, with every byte
// it wrote. What such a child does cost: a write that finds the bridge's input full after the bridge
// has ended can block (see Timeouts). To rule it out, start other children without inheritance, or
// with a handle list of their own, or not during Start().
//
// Timeouts. Every read of a reply waits at most its timeoutMs (DefaultReplyTimeoutMs unless given),
// counted from the start of that call, asleep in the kernel until bytes arrive, the bridge ends or
// the time is up; waiting uses no CPU. A read with timeoutMs 0 does not wait. A read that times out
// loses nothing: bytes that did arrive stay with the instance, and the next read of the same reply
// continues from them. The bridge serves one request per polling cycle of about 60 ms, so k
// requests written at once are answered about k cycles later; give each reply its own read.
// Exactly three waits may be longer than a call's timeoutMs:
// - A read that finds the bridge's output closed while its process has not quite ended waits up to
//   ExitStatusWaitMs more for it, to report its exit status.
// - Writes (Write(), Send..., and the request half of Authenticate() and PollEvents()) are not
//   timed. The bridge's input pipe holds 1 MiB, so a write returns at once unless that much is
//   unread; then it blocks until the bridge has read enough, or until it ends (when no other
//   process holds the bridge's input, see above).
// - Kill(), Start() and the destructor wait up to StopTimeoutMs for a running bridge to end.
// Start() does not wait for the bridge to start Steam; requests written at once wait in the pipe
// (CheckServing() confirms that it serves).
//
// From a game loop. Send... calls write the request and do not wait for its reply (a write can
// block only as said above); ReplyReady() says without waiting whether the reply to the oldest of
// them can be read, and a read with timeoutMs 0 then returns it. WaitHandle() is signalled when
// bytes of the bridge arrive and when the bridge ends, to be waited on together with the server's
// own events (WaitForMultipleObjects, MsgWaitForMultipleObjects).
//
// Any bytes. Every reply is checked before anything is sized from it: a PollEvents reply that
// announces more than MaxPollEvents events is refused (TooManyEvents) without allocating for it.
//
// The bridge's life. The bridge runs in a job object that Windows closes when this process ends,
// for whatever reason, and closing it ends the bridge at once. If this process already runs in a
// job that does not allow this, the bridge still starts and IsProtected() returns false; it then
// outlives a crashed server until its 900-second idle limit.
//
// Failures. Every call returns an FBridgeResult: true when it worked, otherwise the reason, with
// the bridge's exit status when it has gone and Message() for a log line. Calls throw only
// std::bad_alloc (or std::length_error for a size beyond what can be allocated), when memory runs
// out; what was collected until then stays. The C interface turns these into KvBridgeOutOfMemory.
#pragma once

#include "bridge_parent_version.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

enum class EParentRequest : uint32_t
{
    Authenticate = 0,
    PollEvents = 1,
};

enum class EParentEventType : int32_t
{
    Approve = 0,
    Deny = 1,
    Kick = 2,
};

struct FAuthenticateReply
{
    // 1 when Steam took the ticket for checking; the verdict comes later as an event.
    uint32_t Result = 0;
    uint64_t SteamId = 0;
};

struct FBridgeEvent
{
    uint64_t SteamId = 0;
    EParentEventType Type = EParentEventType::Approve;
    // -1 for an approve; Steam's deny-reason code for a deny or a kick.
    int32_t Reason = 0;
};

enum class EBridgeError : int32_t
{
    None = 0,
    // No bridge to talk to: Start() was not called or failed, Kill() ended it, or CloseInput()
    // closed its input.
    NotStarted = 1,
    // The pipes or the process could not be created; SystemError holds the Windows error code.
    StartFailed = 2,
    // The reply was not complete within the timeout; the bridge still runs.
    TimedOut = 3,
    // The bridge's process has ended; ExitCode holds its exit status when ExitCodeKnown. SystemError
    // is the error that ended the pipe (ERROR_BROKEN_PIPE), or 0 when the process ended while another
    // process still held its output open.
    BridgeGone = 4,
    // The bridge ended in the middle of a reply: BytesReceived of BytesExpected had arrived.
    ShortReply = 5,
    // Authenticate() or PollEvents() while replies to earlier Send... calls are still unread:
    // the reply read would belong to another request.
    RepliesOwed = 6,
    // A PollEvents reply announced EventCount events, more than MaxPollEvents: what answers is not
    // authbridge, or not in step with the requests. Nothing is taken from the bytes received, so a
    // ReadExact() can still read them; every later read of this reply says the same.
    TooManyEvents = 7,
    // Waiting for the bridge failed; SystemError holds the Windows error code.
    WaitFailed = 8,
};

struct FBridgeResult
{
    EBridgeError Error = EBridgeError::None;
    uint32_t SystemError = 0;
    bool ExitCodeKnown = false;
    uint32_t ExitCode = 0;
    // The reply being read, when the failure happened while reading one.
    uint32_t BytesReceived = 0;
    uint32_t BytesExpected = 0;
    uint32_t TimeoutMs = 0;
    uint32_t OwedReplies = 0;
    // The event count of a PollEvents reply refused with TooManyEvents.
    uint32_t EventCount = 0;
    // The program and working directory a failed start was given (an empty directory: ours).
    std::wstring ProgramPath;
    std::wstring WorkingDirectory;

    explicit operator bool() const { return Error == EBridgeError::None; }
    // One line for a log, e.g. "the bridge has ended with exit status 0xC0000135: a DLL it needs
    // was not found; put steam_api.dll beside authbridge.exe".
    std::string Message() const;
};

constexpr DWORD DefaultReplyTimeoutMs = 5000;
constexpr DWORD StopTimeoutMs = 5000;
// How long a read that finds the bridge's output closed waits for its process to finish ending.
constexpr DWORD ExitStatusWaitMs = 2000;
// The most events a PollEvents reply may carry (a reply of 16 MiB). The bridge's queue has no
// limit, but each event stems from one Authenticate request (its verdict, and perhaps a kick later)
// and the bridge serves one request per cycle of about 60 ms: a poll would need at least 2^19
// players authenticated since the previous one, 9 hours of joins back to back. A count beyond it
// is not a reply of authbridge, and 16 MiB can be allocated in any 32-bit server.
constexpr uint32_t MaxPollEvents = 1u << 20;

const char* EventTypeName(EParentEventType type);
const char* ErrorName(EBridgeError error);
// What a bridge's exit status means, e.g. for 0xC0000135 that a DLL was not found; an empty text
// for a status without a common cause.
std::string DescribeExitStatus(uint32_t exitStatus);

// Little-endian request encoding, for callers that write requests in pieces of their own.
std::vector<uint8_t> EncodeAuthenticate(uint32_t clientAddress, const std::vector<uint8_t>& ticket);
std::vector<uint8_t> EncodePollEvents();

struct FBridgeLink;

class FBridgeParent
{
public:
    FBridgeParent();
    FBridgeParent(const FBridgeParent&) = delete;
    FBridgeParent& operator=(const FBridgeParent&) = delete;
    // Ends the bridge if it still runs.
    ~FBridgeParent();

    // Starts the bridge with its standard input and output on pipes and its standard error on NUL,
    // in the given working directory (the caller's when empty). Extra environment entries
    // ("NAME=value") are added to this process's environment. A bridge this instance already runs
    // is ended first, with everything it owned.
    FBridgeResult Start(const std::wstring& exePath, const std::wstring& workingDirectory = L"",
                        const std::vector<std::wstring>& extraEnvironment = {});

    // One PollEvents round trip, to learn at start-up whether the bridge serves: fails with
    // BridgeGone and its exit status (e.g. 0xC0000135 without steam_api.dll) when it has ended
    // instead. The events of this poll are kept and come first in the next PollEvents() or
    // ReadPollReply(), so none is lost. Fails with RepliesOwed while replies of Send... calls are unread.
    FBridgeResult CheckServing(DWORD timeoutMs = DefaultReplyTimeoutMs);

    // A request and its reply. Fail with RepliesOwed while replies of Send... calls are unread.
    FBridgeResult Authenticate(uint32_t clientAddress, const std::vector<uint8_t>& ticket,
                               FAuthenticateReply& reply, DWORD timeoutMs = DefaultReplyTimeoutMs);
    FBridgeResult PollEvents(std::vector<FBridgeEvent>& events, DWORD timeoutMs = DefaultReplyTimeoutMs);

    // The same in two halves, for writing several requests before reading their replies. Replies
    // come in the order of the requests; read each with the call that matches its request.
    FBridgeResult SendAuthenticate(uint32_t clientAddress, const std::vector<uint8_t>& ticket);
    FBridgeResult SendPollEvents();
    FBridgeResult ReadAuthenticateReply(FAuthenticateReply& reply, DWORD timeoutMs = DefaultReplyTimeoutMs);
    FBridgeResult ReadPollReply(std::vector<FBridgeEvent>& events, DWORD timeoutMs = DefaultReplyTimeoutMs);

    // Raw bytes on the bridge's input, written whole, for requests of the caller's own making.
    // They are not counted as owed replies.
    FBridgeResult Write(const void* data, size_t size);
    FBridgeResult Write(const std::vector<uint8_t>& bytes) { return Write(bytes.data(), bytes.size()); }
    // Exactly size raw bytes of the bridge's output.
    FBridgeResult ReadExact(void* buffer, size_t size, DWORD timeoutMs = DefaultReplyTimeoutMs);

    // Bytes the bridge has written that no read has returned yet; once the bridge has ended, all it
    // wrote.
    DWORD BytesWaiting();
    // Replies of Send... calls that have not been read.
    uint32_t OwedReplies() const { return static_cast<uint32_t>(OwedRequests.size()); }

    // Without waiting: true when the reply to the oldest unread Send... call has arrived whole, when
    // it is refused (TooManyEvents), or when the bridge has gone (the read then says so at once),
    // whoever holds its output; false while it is on its way and
    // when no reply is owed. Not a failure either way. Read replies in the order of the requests.
    bool ReplyReady();
    // An event, signalled once bytes of the bridge have arrived that no call of this instance has
    // collected yet, and once the bridge has gone (its process has ended, whoever holds its output);
    // any call that reads or asks ReplyReady() collects them. Several replies can arrive at once, so after a
    // read ask ReplyReady() again before waiting. Owned by the instance: do not close it; valid until Kill(),
    // Start() or the destructor; null when no bridge was started and after Kill().
    HANDLE WaitHandle() const;

    // Closes our end of the bridge's input, as a parent that goes away would.
    void CloseInput();
    // True while the bridge's process runs.
    bool IsRunning() const;
    // True once the bridge has ended within the timeout, with its exit status.
    bool WaitForExit(DWORD timeoutMs, DWORD& exitCode);
    // Ends the bridge and closes everything this instance owns.
    void Kill();

    // Whether the job object ends the bridge when this process ends; when not, the Windows error
    // that prevented it.
    bool IsProtected() const;
    uint32_t ProtectionError() const;
    // The bridge's process, also after it has ended (for its exit status); null when none was started.
    HANDLE Process() const;
    // 0 once the bridge has ended.
    DWORD ProcessId() const;

private:
    FBridgeResult Fill(size_t size, ULONGLONG deadline, DWORD timeoutMs);
    FBridgeResult Gone(size_t expected, DWORD systemError);
    FBridgeResult Owing() const;
    void Collect();
    void Consume(size_t size);

    // The bridge's process, its pipes, its job and the reader of its output, while it is started.
    std::unique_ptr<FBridgeLink> Link;
    // The requests of Send... calls whose replies have not been read, oldest first.
    std::deque<EParentRequest> OwedRequests;
    // Bytes the bridge has written, collected and not yet returned by a read.
    std::vector<uint8_t> Received;
    // Events of CheckServing() that the next poll returns first.
    std::vector<FBridgeEvent> HeldEvents;
};
