#include "BridgeParent.h"

#include "BridgeLaunch.h"
#include "ParentWire.h"

#include <algorithm>

namespace
{
// How long a bridge whose pipe has broken gets to finish ending, so that its exit status can be read.
constexpr DWORD ExitStatusWaitMs = 2000;
// Between two looks at the pipe while a reply is awaited.
constexpr DWORD ReplyPollMs = 1;

FBridgeResult Failure(EBridgeError error)
{
    FBridgeResult result;
    result.Error = error;
    return result;
}

FBridgeResult Ok()
{
    return FBridgeResult();
}
} // namespace

FBridgeParent::~FBridgeParent()
{
    Kill();
}

FBridgeResult FBridgeParent::Start(const std::wstring& exePath, const std::wstring& workingDirectory,
                                   const std::vector<std::wstring>& extraEnvironment)
{
    Kill();
    FLaunchedBridge launched;
    DWORD error = 0;
    if (!LaunchBridge(exePath, workingDirectory, extraEnvironment, launched, error))
    {
        FBridgeResult result = Failure(EBridgeError::StartFailed);
        result.SystemError = error;
        return result;
    }
    ProcessHandle = launched.Process;
    BridgeProcessId = launched.ProcessId;
    Job = launched.Job;
    ToBridge = launched.ToBridge;
    FromBridge = launched.FromBridge;
    Protected = launched.Job != nullptr;
    JobError = launched.JobError;
    return Ok();
}

FBridgeResult FBridgeParent::Write(const void* data, size_t size)
{
    if (ToBridge == nullptr)
    {
        return Failure(EBridgeError::NotStarted);
    }
    const uint8_t* next = static_cast<const uint8_t*>(data);
    while (size > 0)
    {
        const DWORD chunk = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(ToBridge, next, chunk, &written, nullptr))
        {
            return Gone(0, GetLastError());
        }
        next += written;
        size -= written;
    }
    return Ok();
}

FBridgeResult FBridgeParent::SendAuthenticate(uint32_t clientAddress, const std::vector<uint8_t>& ticket)
{
    const FBridgeResult result = Write(EncodeAuthenticate(clientAddress, ticket));
    Owed += result ? 1 : 0;
    return result;
}

FBridgeResult FBridgeParent::SendPollEvents()
{
    const FBridgeResult result = Write(EncodePollEvents());
    Owed += result ? 1 : 0;
    return result;
}

FBridgeResult FBridgeParent::Gone(size_t expected, DWORD systemError)
{
    FBridgeResult result;
    result.SystemError = systemError;
    result.BytesExpected = static_cast<uint32_t>(expected);
    result.BytesReceived = static_cast<uint32_t>(std::min(Received.size(), expected));
    result.Error = result.BytesReceived > 0 ? EBridgeError::ShortReply : EBridgeError::BridgeGone;
    // No reply will come any more, so none is owed: every later call reports the bridge gone.
    Owed = 0;
    DWORD exitCode = 0;
    if (WaitForSingleObject(ProcessHandle, ExitStatusWaitMs) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(ProcessHandle, &exitCode))
    {
        result.ExitCodeKnown = true;
        result.ExitCode = exitCode;
    }
    return result;
}

// Reads until at least size bytes of the reply have arrived, or the deadline passes, or the bridge
// has gone. What arrives stays in Received, so a read after a timeout continues where it stopped.
FBridgeResult FBridgeParent::Fill(size_t size, ULONGLONG deadline, DWORD timeoutMs)
{
    if (FromBridge == nullptr)
    {
        return Failure(EBridgeError::NotStarted);
    }
    bool ended = false;
    while (Received.size() < size)
    {
        // Anonymous pipes cannot time out a read, so wait for bytes with a peek first.
        DWORD available = 0;
        if (!PeekNamedPipe(FromBridge, nullptr, 0, nullptr, &available, nullptr))
        {
            return Gone(size, GetLastError());
        }
        if (available > 0)
        {
            const size_t had = Received.size();
            const DWORD wanted = static_cast<DWORD>(std::min<size_t>(size - had, available));
            Received.resize(had + wanted);
            DWORD read = 0;
            const BOOL readOk = ReadFile(FromBridge, Received.data() + had, wanted, &read, nullptr);
            Received.resize(had + read);
            if (!readOk)
            {
                return Gone(size, GetLastError());
            }
            continue;
        }
        // Only the bridge holds the other end, so its pipe breaks when it ends; the process is
        // watched too, and looked at once more after it has ended for bytes written just before.
        if (ended)
        {
            return Gone(size, 0);
        }
        ended = WaitForSingleObject(ProcessHandle, 0) == WAIT_OBJECT_0;
        if (ended)
        {
            continue;
        }
        if (GetTickCount64() >= deadline)
        {
            FBridgeResult result = Failure(EBridgeError::TimedOut);
            result.TimeoutMs = timeoutMs;
            result.BytesExpected = static_cast<uint32_t>(size);
            result.BytesReceived = static_cast<uint32_t>(Received.size());
            return result;
        }
        Sleep(ReplyPollMs);
    }
    return Ok();
}

void FBridgeParent::Consume(size_t size)
{
    Received.erase(Received.begin(), Received.begin() + static_cast<std::ptrdiff_t>(size));
    Owed -= Owed > 0 ? 1 : 0;
}

FBridgeResult FBridgeParent::ReadExact(void* buffer, size_t size, DWORD timeoutMs)
{
    const FBridgeResult result = Fill(size, GetTickCount64() + timeoutMs, timeoutMs);
    if (result)
    {
        std::copy(Received.begin(), Received.begin() + static_cast<std::ptrdiff_t>(size),
                  static_cast<uint8_t*>(buffer));
        Received.erase(Received.begin(), Received.begin() + static_cast<std::ptrdiff_t>(size));
    }
    return result;
}

FBridgeResult FBridgeParent::ReadAuthenticateReply(FAuthenticateReply& reply, DWORD timeoutMs)
{
    const FBridgeResult result = Fill(AuthenticateReplySize, GetTickCount64() + timeoutMs, timeoutMs);
    if (result)
    {
        reply = DecodeAuthenticateReply(Received.data());
        Consume(AuthenticateReplySize);
    }
    return result;
}

FBridgeResult FBridgeParent::ReadPollReply(std::vector<FBridgeEvent>& events, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    FBridgeResult result = Fill(PollCountSize, deadline, timeoutMs);
    if (!result)
    {
        return result;
    }
    const size_t size = PollReplySize(Received.data());
    result = Fill(size, deadline, timeoutMs);
    if (result)
    {
        events = DecodePollReply(Received.data());
        Consume(size);
    }
    return result;
}

FBridgeResult FBridgeParent::Authenticate(uint32_t clientAddress, const std::vector<uint8_t>& ticket,
                                          FAuthenticateReply& reply, DWORD timeoutMs)
{
    if (Owed > 0 && ToBridge != nullptr)
    {
        FBridgeResult result = Failure(EBridgeError::RepliesOwed);
        result.OwedReplies = Owed;
        return result;
    }
    const FBridgeResult sent = SendAuthenticate(clientAddress, ticket);
    return sent ? ReadAuthenticateReply(reply, timeoutMs) : sent;
}

FBridgeResult FBridgeParent::PollEvents(std::vector<FBridgeEvent>& events, DWORD timeoutMs)
{
    if (Owed > 0 && ToBridge != nullptr)
    {
        FBridgeResult result = Failure(EBridgeError::RepliesOwed);
        result.OwedReplies = Owed;
        return result;
    }
    const FBridgeResult sent = SendPollEvents();
    return sent ? ReadPollReply(events, timeoutMs) : sent;
}

DWORD FBridgeParent::BytesWaiting() const
{
    DWORD available = 0;
    if (FromBridge != nullptr)
    {
        PeekNamedPipe(FromBridge, nullptr, 0, nullptr, &available, nullptr);
    }
    return available + static_cast<DWORD>(Received.size());
}

void FBridgeParent::CloseInput()
{
    CloseIfOpen(ToBridge);
}

bool FBridgeParent::WaitForExit(DWORD timeoutMs, DWORD& exitCode)
{
    if (ProcessHandle == nullptr || WaitForSingleObject(ProcessHandle, timeoutMs) != WAIT_OBJECT_0)
    {
        return false;
    }
    return GetExitCodeProcess(ProcessHandle, &exitCode) != FALSE;
}

void FBridgeParent::Kill()
{
    if (ProcessHandle != nullptr && WaitForSingleObject(ProcessHandle, 0) == WAIT_TIMEOUT)
    {
        TerminateProcess(ProcessHandle, 1);
        WaitForSingleObject(ProcessHandle, StopTimeoutMs);
    }
    CloseIfOpen(ProcessHandle);
    CloseIfOpen(Job);
    CloseIfOpen(ToBridge);
    CloseIfOpen(FromBridge);
    BridgeProcessId = 0;
    Protected = false;
    JobError = 0;
    Owed = 0;
    Received.clear();
}
