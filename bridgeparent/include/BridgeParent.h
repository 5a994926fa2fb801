// The game server's side of authbridge: starts the bridge on pipes, sends its two requests and
// decodes the replies. Written against the wire format alone (docs/parent-protocol.md); it shares
// no code with the bridge. A plain C interface over the same code is in bridge_parent.h.
//
// What a caller must know:
//
// Ownership. An FBridgeParent owns the bridge process it starts, both pipes to it and the job
// object that ties the bridge's life to this process. None of these handles is inheritable, so a
// child that another thread of the server starts can never hold the bridge's input open. The
// destructor, Kill() and a new Start() end the bridge and close all of them.
//
// Threads. Use one instance from one thread at a time; it takes no lock. Different instances are
// independent and may be used on different threads at once.
//
// Timeouts. Every read of a reply waits at most its timeoutMs (DefaultReplyTimeoutMs unless given),
// counted from the start of that call. A read that times out loses nothing: bytes that did arrive
// stay with the instance, and the next read of the same reply continues from them. The bridge
// serves one request per polling cycle of about 60 ms, so k requests written at once are answered
// about k cycles later; give each reply its own read. Writes are not timed: the bridge's input pipe
// holds 1 MiB, so a write blocks only while that much is unread. Start() does not wait for the
// bridge to start Steam; requests written at once wait in the pipe. Kill() waits up to
// StopTimeoutMs for the process to end.
//
// The bridge's life. The bridge runs in a job object that Windows closes when this process ends,
// for whatever reason, and closing it ends the bridge at once. If this process already runs in a
// job that does not allow this, the bridge still starts and IsProtected() returns false; it then
// outlives a crashed server until its 900-second idle limit.
//
// Failures. Every call returns an FBridgeResult: true when it worked, otherwise the reason, with
// the bridge's exit status when it has gone and Message() for a log line.
#pragma once

#include "bridge_parent_version.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
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
    // The bridge's process has ended; ExitCode holds its exit status when ExitCodeKnown.
    BridgeGone = 4,
    // The bridge ended in the middle of a reply: BytesReceived of BytesExpected had arrived.
    ShortReply = 5,
    // Authenticate() or PollEvents() while replies to earlier Send... calls are still unread:
    // the reply read would belong to another request.
    RepliesOwed = 6,
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

    explicit operator bool() const { return Error == EBridgeError::None; }
    // One line for a log, e.g. "the bridge has ended with exit status 0xC0000135: a DLL it needs
    // was not found; put steam_api.dll beside authbridge.exe".
    std::string Message() const;
};

constexpr DWORD DefaultReplyTimeoutMs = 5000;
constexpr DWORD StopTimeoutMs = 5000;

const char* EventTypeName(EParentEventType type);
const char* ErrorName(EBridgeError error);
// What a bridge's exit status means, e.g. for 0xC0000135 that a DLL was not found; an empty text
// for a status without a common cause.
std::string DescribeExitStatus(uint32_t exitStatus);

// Little-endian request encoding, for callers that write requests in pieces of their own.
std::vector<uint8_t> EncodeAuthenticate(uint32_t clientAddress, const std::vector<uint8_t>& ticket);
std::vector<uint8_t> EncodePollEvents();

class FBridgeParent
{
public:
    FBridgeParent() = default;
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

    // Bytes the bridge has written that no read has returned yet.
    DWORD BytesWaiting() const;
    // Replies of Send... calls that have not been read.
    uint32_t OwedReplies() const { return Owed; }

    // Closes our end of the bridge's input, as a parent that goes away would.
    void CloseInput();
    // True once the bridge has ended within the timeout, with its exit status.
    bool WaitForExit(DWORD timeoutMs, DWORD& exitCode);
    // Ends the bridge and closes everything this instance owns.
    void Kill();

    // Whether the job object ends the bridge when this process ends; when not, the Windows error
    // that prevented it.
    bool IsProtected() const { return Protected; }
    uint32_t ProtectionError() const { return JobError; }
    HANDLE Process() const { return ProcessHandle; }
    DWORD ProcessId() const { return BridgeProcessId; }

private:
    FBridgeResult Fill(size_t size, ULONGLONG deadline, DWORD timeoutMs);
    FBridgeResult Gone(size_t expected, DWORD systemError);
    void Consume(size_t size);

    HANDLE ProcessHandle = nullptr;
    HANDLE Job = nullptr;
    HANDLE ToBridge = nullptr;
    HANDLE FromBridge = nullptr;
    DWORD BridgeProcessId = 0;
    bool Protected = false;
    uint32_t JobError = 0;
    uint32_t Owed = 0;
    // Bytes of the reply being read that have arrived.
    std::vector<uint8_t> Received;
};
