// The parent's side of authbridge: starts the bridge with piped standard streams, sends its two
// requests and decodes the replies. Every read has a timeout, so a missing reply is an error and
// not a hang. Written against the wire format alone; it shares no code with the bridge.
#pragma once

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
    uint32_t Result = 0;
    uint64_t SteamId = 0;
};

struct FBridgeEvent
{
    uint64_t SteamId = 0;
    EParentEventType Type = EParentEventType::Approve;
    int32_t Reason = 0;
};

constexpr DWORD DefaultReplyTimeoutMs = 5000;

const char* EventTypeName(EParentEventType type);

// Little-endian request encoding, for callers that write requests in pieces of their own.
std::vector<uint8_t> EncodeAuthenticate(uint32_t clientAddress, const std::vector<uint8_t>& ticket);
std::vector<uint8_t> EncodePollEvents();

class FBridgeParent
{
public:
    FBridgeParent() = default;
    FBridgeParent(const FBridgeParent&) = delete;
    FBridgeParent& operator=(const FBridgeParent&) = delete;
    // Kills the bridge if it still runs.
    ~FBridgeParent();

    // Starts the program with its standard input and output on pipes, in the given working
    // directory (the caller's when empty). Extra environment entries ("NAME=value") are added to ours.
    bool Start(const std::wstring& exePath, const std::wstring& workingDirectory = L"",
               const std::vector<std::wstring>& extraEnvironment = {});

    // Raw bytes on the bridge's input, written whole.
    bool Write(const void* data, size_t size);
    bool Write(const std::vector<uint8_t>& bytes) { return Write(bytes.data(), bytes.size()); }

    bool SendAuthenticate(uint32_t clientAddress, const std::vector<uint8_t>& ticket);
    bool SendPollEvents();

    // Waits until exactly size bytes have arrived. False on timeout or when the bridge has gone.
    bool ReadExact(void* buffer, size_t size, DWORD timeoutMs = DefaultReplyTimeoutMs);
    bool ReadAuthenticateReply(FAuthenticateReply& reply, DWORD timeoutMs = DefaultReplyTimeoutMs);
    bool ReadPollReply(std::vector<FBridgeEvent>& events, DWORD timeoutMs = DefaultReplyTimeoutMs);

    // A request and its reply.
    bool Authenticate(uint32_t clientAddress, const std::vector<uint8_t>& ticket, FAuthenticateReply& reply,
                      DWORD timeoutMs = DefaultReplyTimeoutMs);
    bool PollEvents(std::vector<FBridgeEvent>& events, DWORD timeoutMs = DefaultReplyTimeoutMs);

    // Bytes the bridge has written that nobody has read yet.
    DWORD BytesWaiting() const;

    // Closes our end of the bridge's input, as a parent that goes away would.
    void CloseInput();
    bool WaitForExit(DWORD timeoutMs, DWORD& exitCode);
    void Kill();
    HANDLE Process() const { return ProcessHandle; }

private:
    HANDLE ProcessHandle = nullptr;
    HANDLE ToBridge = nullptr;
    HANDLE FromBridge = nullptr;
};
