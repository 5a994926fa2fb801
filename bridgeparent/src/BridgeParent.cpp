#include "BridgeParent.h"

#include "BridgeLaunch.h"
#include "ParentWire.h"

#include <algorithm>

namespace
{
// How long a bridge whose pipe has broken gets to finish ending, so that its exit status can be read.
constexpr DWORD ExitStatusWaitMs = 2000;
// The most one read of the bridge's output takes in; a larger reply comes in several.
constexpr DWORD ReadBufferSize = 64 * 1024;

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
    HANDLE readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (readEvent == nullptr || !LaunchBridge(exePath, workingDirectory, extraEnvironment, launched, error))
    {
        FBridgeResult result = Failure(EBridgeError::StartFailed);
        result.SystemError = readEvent == nullptr ? GetLastError() : error;
        result.ProgramPath = exePath;
        result.WorkingDirectory = workingDirectory;
        CloseIfOpen(readEvent);
        return result;
    }
    ProcessHandle = launched.Process;
    BridgeProcessId = launched.ProcessId;
    Job = launched.Job;
    ToBridge = launched.ToBridge;
    FromBridge = launched.FromBridge;
    Protected = launched.Job != nullptr;
    JobError = launched.JobError;
    ReadEvent = readEvent;
    ReadBuffer.resize(ReadBufferSize);
    Collect();
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
    if (result)
    {
        OwedRequests.push_back(EParentRequest::Authenticate);
    }
    return result;
}

FBridgeResult FBridgeParent::SendPollEvents()
{
    const FBridgeResult result = Write(EncodePollEvents());
    if (result)
    {
        OwedRequests.push_back(EParentRequest::PollEvents);
    }
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
    OwedRequests.clear();
    DWORD exitCode = 0;
    if (WaitForSingleObject(ProcessHandle, ExitStatusWaitMs) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(ProcessHandle, &exitCode))
    {
        result.ExitCodeKnown = true;
        result.ExitCode = exitCode;
    }
    return result;
}

// Takes in what the pending read has brought and starts the next read, until one stays pending (no
// more bytes for now) or the pipe has broken (the bridge has ended; ReadEvent then stays signalled).
void FBridgeParent::Collect()
{
    while (FromBridge != nullptr && !PipeBroken)
    {
        if (ReadPending)
        {
            DWORD read = 0;
            if (!GetOverlappedResult(FromBridge, &ReadOverlapped, &read, FALSE))
            {
                const DWORD error = GetLastError();
                if (error == ERROR_IO_INCOMPLETE)
                {
                    return;
                }
                ReadPending = false;
                // Windows cancels the read when the thread that started it exits; the caller may
                // go on from another thread, so read again.
                if (error == ERROR_OPERATION_ABORTED)
                {
                    Received.insert(Received.end(), ReadBuffer.begin(), ReadBuffer.begin() + read);
                    continue;
                }
                PipeBroken = true;
                PipeError = error;
                SetEvent(ReadEvent);
                return;
            }
            ReadPending = false;
            Received.insert(Received.end(), ReadBuffer.begin(), ReadBuffer.begin() + read);
        }
        ReadOverlapped = OVERLAPPED();
        ReadOverlapped.hEvent = ReadEvent;
        if (!ReadFile(FromBridge, ReadBuffer.data(), ReadBufferSize, nullptr, &ReadOverlapped) &&
            GetLastError() != ERROR_IO_PENDING)
        {
            PipeBroken = true;
            PipeError = GetLastError();
            SetEvent(ReadEvent);
            return;
        }
        ReadPending = true;
    }
}

// Waits, asleep, until at least size bytes have arrived, or the deadline passes, or the bridge has
// gone. What arrives stays in Received, so a read after a timeout continues where it stopped.
FBridgeResult FBridgeParent::Fill(size_t size, ULONGLONG deadline, DWORD timeoutMs)
{
    if (FromBridge == nullptr)
    {
        return Failure(EBridgeError::NotStarted);
    }
    for (;;)
    {
        Collect();
        if (Received.size() >= size)
        {
            return Ok();
        }
        if (PipeBroken)
        {
            return Gone(size, PipeError);
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
        {
            FBridgeResult result = Failure(EBridgeError::TimedOut);
            result.TimeoutMs = timeoutMs;
            result.BytesExpected = static_cast<uint32_t>(size);
            result.BytesReceived = static_cast<uint32_t>(Received.size());
            return result;
        }
        // Only the bridge holds the other end, so the pipe breaks when it ends; the process is
        // watched too, and its last bytes are collected once its end has closed.
        HANDLE waits[] = {ReadEvent, ProcessHandle};
        if (WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(deadline - now)) == WAIT_OBJECT_0 + 1)
        {
            WaitForSingleObject(ReadEvent, ExitStatusWaitMs);
            Collect();
            return Received.size() >= size ? Ok() : Gone(size, PipeError);
        }
    }
}

void FBridgeParent::Consume(size_t size)
{
    Received.erase(Received.begin(), Received.begin() + static_cast<std::ptrdiff_t>(size));
    if (!OwedRequests.empty())
    {
        OwedRequests.pop_front();
    }
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
        const std::vector<FBridgeEvent> decoded = DecodePollReply(Received.data());
        Consume(size);
        events.swap(HeldEvents);
        HeldEvents.clear();
        events.insert(events.end(), decoded.begin(), decoded.end());
    }
    return result;
}

FBridgeResult FBridgeParent::Owing() const
{
    FBridgeResult result = Failure(EBridgeError::RepliesOwed);
    result.OwedReplies = OwedReplies();
    return result;
}

FBridgeResult FBridgeParent::Authenticate(uint32_t clientAddress, const std::vector<uint8_t>& ticket,
                                          FAuthenticateReply& reply, DWORD timeoutMs)
{
    if (!OwedRequests.empty() && ToBridge != nullptr)
    {
        return Owing();
    }
    const FBridgeResult sent = SendAuthenticate(clientAddress, ticket);
    return sent ? ReadAuthenticateReply(reply, timeoutMs) : sent;
}

FBridgeResult FBridgeParent::PollEvents(std::vector<FBridgeEvent>& events, DWORD timeoutMs)
{
    if (!OwedRequests.empty() && ToBridge != nullptr)
    {
        return Owing();
    }
    const FBridgeResult sent = SendPollEvents();
    return sent ? ReadPollReply(events, timeoutMs) : sent;
}

FBridgeResult FBridgeParent::CheckServing(DWORD timeoutMs)
{
    std::vector<FBridgeEvent> events;
    const FBridgeResult result = PollEvents(events, timeoutMs);
    if (result)
    {
        // They include any the check held before, so the order stays that of the bridge.
        HeldEvents = std::move(events);
    }
    return result;
}

bool FBridgeParent::ReplyReady()
{
    if (OwedRequests.empty())
    {
        return false;
    }
    Collect();
    if (PipeBroken)
    {
        return true;
    }
    if (OwedRequests.front() == EParentRequest::Authenticate)
    {
        return Received.size() >= AuthenticateReplySize;
    }
    return Received.size() >= PollCountSize && Received.size() >= PollReplySize(Received.data());
}

DWORD FBridgeParent::BytesWaiting()
{
    Collect();
    return static_cast<DWORD>(Received.size());
}

void FBridgeParent::CloseInput()
{
    CloseIfOpen(ToBridge);
}

bool FBridgeParent::IsRunning() const
{
    return ProcessHandle != nullptr && WaitForSingleObject(ProcessHandle, 0) == WAIT_TIMEOUT;
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
    // The pending read writes into ReadBuffer and ReadOverlapped until it has finished.
    if (ReadPending)
    {
        DWORD read = 0;
        CancelIoEx(FromBridge, &ReadOverlapped);
        GetOverlappedResult(FromBridge, &ReadOverlapped, &read, TRUE);
        ReadPending = false;
    }
    CloseIfOpen(ProcessHandle);
    CloseIfOpen(Job);
    CloseIfOpen(ToBridge);
    CloseIfOpen(FromBridge);
    CloseIfOpen(ReadEvent);
    BridgeProcessId = 0;
    Protected = false;
    JobError = 0;
    OwedRequests.clear();
    Received.clear();
    HeldEvents.clear();
    PipeBroken = false;
    PipeError = 0;
}
