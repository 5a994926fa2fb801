#include "BridgeParent.h"

#include "BridgeLaunch.h"
#include "ParentWire.h"
#include "PipeReader.h"

#include <algorithm>
#include <utility>

// The reader watches the process, so it is declared last and closed first.
struct FBridgeLink
{
    FLaunchedBridge Launched;
    FPipeReader Reader;
};

namespace
{
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

bool HasEnded(HANDLE process)
{
    return WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

void EndProcess(HANDLE process)
{
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
    {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, StopTimeoutMs);
    }
}
} // namespace

// Out of line, where FBridgeLink is complete.
FBridgeParent::FBridgeParent() = default;

FBridgeParent::~FBridgeParent()
{
    Kill();
}

FBridgeResult FBridgeParent::Start(const std::wstring& exePath, const std::wstring& workingDirectory,
                                   const std::vector<std::wstring>& extraEnvironment)
{
    Kill();
    std::unique_ptr<FBridgeLink> link(new FBridgeLink());
    DWORD error = 0;
    bool started = LaunchBridge(exePath, workingDirectory, extraEnvironment, link->Launched, error);
    if (started &&
        !link->Reader.Open(std::move(link->Launched.FromBridge), link->Launched.Process.Get(), error))
    {
        EndProcess(link->Launched.Process.Get());
        started = false;
    }
    if (!started)
    {
        FBridgeResult result = Failure(EBridgeError::StartFailed);
        result.SystemError = error;
        result.ProgramPath = exePath;
        result.WorkingDirectory = workingDirectory;
        return result;
    }
    Link = std::move(link);
    return Ok();
}

FBridgeResult FBridgeParent::Write(const void* data, size_t size)
{
    if (!Link || !Link->Launched.ToBridge)
    {
        return Failure(EBridgeError::NotStarted);
    }
    // A child that inherited the bridge's input would keep the pipe from breaking.
    if (HasEnded(Link->Launched.Process.Get()))
    {
        return Gone(0, 0);
    }
    const uint8_t* next = static_cast<const uint8_t*>(data);
    while (size > 0)
    {
        const DWORD chunk = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(Link->Launched.ToBridge.Get(), next, chunk, &written, nullptr))
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
    // The output closes a moment before the process has finished ending.
    HANDLE process = Link->Launched.Process.Get();
    DWORD exitCode = 0;
    if (WaitForSingleObject(process, ExitStatusWaitMs) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(process, &exitCode))
    {
        result.ExitCodeKnown = true;
        result.ExitCode = exitCode;
    }
    return result;
}

void FBridgeParent::Collect()
{
    if (Link)
    {
        Link->Reader.Collect(Received);
    }
}

// Waits, asleep, until at least size bytes have arrived, or the deadline passes, or the bridge has
// gone. What arrives stays in Received, so a read after a timeout continues where it stopped.
FBridgeResult FBridgeParent::Fill(size_t size, ULONGLONG deadline, DWORD timeoutMs)
{
    if (!Link)
    {
        return Failure(EBridgeError::NotStarted);
    }
    FPipeReader& reader = Link->Reader;
    for (;;)
    {
        reader.Collect(Received);
        if (Received.size() >= size)
        {
            return Ok();
        }
        if (reader.Ended())
        {
            return Gone(size, reader.EndError());
        }
        const ULONGLONG now = GetTickCount64();
        DWORD error = 0;
        if (now >= deadline || !reader.Wait(static_cast<DWORD>(deadline - now), error))
        {
            FBridgeResult result =
                Failure(now >= deadline ? EBridgeError::TimedOut : EBridgeError::WaitFailed);
            result.SystemError = error;
            result.TimeoutMs = timeoutMs;
            result.BytesExpected = static_cast<uint32_t>(size);
            result.BytesReceived = static_cast<uint32_t>(Received.size());
            return result;
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
    const uint32_t count = PollCount(Received.data());
    if (count > MaxPollEvents)
    {
        result = Failure(EBridgeError::TooManyEvents);
        result.EventCount = count;
        result.BytesReceived = static_cast<uint32_t>(Received.size());
        return result;
    }
    const size_t size = PollReplySize(count);
    result = Fill(size, deadline, timeoutMs);
    if (result)
    {
        std::vector<FBridgeEvent> decoded = DecodePollReply(Received.data(), count);
        decoded.insert(decoded.begin(), HeldEvents.begin(), HeldEvents.end());
        Consume(size);
        events.swap(decoded);
        HeldEvents.clear();
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
    if (!OwedRequests.empty() && Link && Link->Launched.ToBridge)
    {
        return Owing();
    }
    const FBridgeResult sent = SendAuthenticate(clientAddress, ticket);
    return sent ? ReadAuthenticateReply(reply, timeoutMs) : sent;
}

FBridgeResult FBridgeParent::PollEvents(std::vector<FBridgeEvent>& events, DWORD timeoutMs)
{
    if (!OwedRequests.empty() && Link && Link->Launched.ToBridge)
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
    if (OwedRequests.empty() || !Link)
    {
        return false;
    }
    Collect();
    if (Link->Reader.Ended())
    {
        return true;
    }
    if (OwedRequests.front() == EParentRequest::Authenticate)
    {
        return Received.size() >= AuthenticateReplySize;
    }
    if (Received.size() < PollCountSize)
    {
        return false;
    }
    const uint32_t count = PollCount(Received.data());
    return count > MaxPollEvents || Received.size() >= PollReplySize(count);
}

DWORD FBridgeParent::BytesWaiting()
{
    Collect();
    return static_cast<DWORD>(Received.size());
}

HANDLE FBridgeParent::WaitHandle() const
{
    return Link ? Link->Reader.Event() : nullptr;
}

void FBridgeParent::CloseInput()
{
    if (Link)
    {
        Link->Launched.ToBridge.Reset();
    }
}

bool FBridgeParent::IsRunning() const
{
    return Link && WaitForSingleObject(Link->Launched.Process.Get(), 0) == WAIT_TIMEOUT;
}

bool FBridgeParent::WaitForExit(DWORD timeoutMs, DWORD& exitCode)
{
    if (!Link || WaitForSingleObject(Link->Launched.Process.Get(), timeoutMs) != WAIT_OBJECT_0)
    {
        return false;
    }
    return GetExitCodeProcess(Link->Launched.Process.Get(), &exitCode) != FALSE;
}

void FBridgeParent::Kill()
{
    if (Link)
    {
        EndProcess(Link->Launched.Process.Get());
        Link.reset();
    }
    OwedRequests.clear();
    Received.clear();
    HeldEvents.clear();
}

bool FBridgeParent::IsProtected() const
{
    return Link && Link->Launched.Job;
}

uint32_t FBridgeParent::ProtectionError() const
{
    return Link ? Link->Launched.JobError : 0;
}

HANDLE FBridgeParent::Process() const
{
    return Link ? Link->Launched.Process.Get() : nullptr;
}

DWORD FBridgeParent::ProcessId() const
{
    return IsRunning() ? Link->Launched.ProcessId : 0;
}
