// The C interface: a thin layer over FBridgeParent that keeps the last result and the last poll's
// events in the handle.
#include "bridge_parent.h"

#include "BridgeParent.h"

#include <cstdio>

struct FKvBridge
{
    FBridgeParent Parent;
    FBridgeResult Last;
    std::string LastMessage = "ok";
    // Instead of LastMessage when there was no memory to make it.
    const char* FixedMessage = nullptr;
    std::vector<FBridgeEvent> Events;
};

static_assert(KVBRIDGE_MAX_POLL_EVENTS == MaxPollEvents, "one limit for both interfaces");
static_assert(KvBridgeTooManyEvents == static_cast<int32_t>(EBridgeError::TooManyEvents) &&
                  KvBridgeWaitFailed == static_cast<int32_t>(EBridgeError::WaitFailed),
              "the C values are those of EBridgeError");

namespace
{
int32_t Report(FKvBridge* bridge, const FBridgeResult& result)
{
    bridge->FixedMessage = nullptr;
    bridge->Last = result;
    bridge->LastMessage = result.Message();
    return static_cast<int32_t>(result.Error);
}

// Nothing may unwind into a C caller. The library throws nothing of its own; the standard library
// throws std::bad_alloc, or std::length_error for a size beyond what can be allocated: either way
// the memory the call needs is not to be had. The call returns onFailure and the handle says why,
// without allocating.
template <typename TResult, typename FCall> TResult Guarded(FKvBridge* bridge, TResult onFailure, FCall call)
{
    try
    {
        return call();
    }
    catch (...)
    {
        if (bridge != nullptr)
        {
            bridge->Last.Error = EBridgeError::None;
            bridge->Last.ExitCodeKnown = false;
            bridge->FixedMessage = "out of memory";
        }
        return onFailure;
    }
}

std::vector<uint8_t> TicketBytes(const uint8_t* ticket, uint32_t ticketSize)
{
    return ticketSize == 0 ? std::vector<uint8_t>() : std::vector<uint8_t>(ticket, ticket + ticketSize);
}

int32_t BadArgument(FKvBridge* bridge, const char* what)
{
    if (bridge != nullptr)
    {
        bridge->FixedMessage = nullptr;
        bridge->Last = FBridgeResult();
        bridge->LastMessage = std::string("bad argument: ") + what;
    }
    return KvBridgeBadArgument;
}

int32_t ToAuthenticateOutputs(FKvBridge* bridge, const FBridgeResult& result, const FAuthenticateReply& reply,
                              uint32_t* resultOut, uint64_t* steamId)
{
    if (result)
    {
        *resultOut = reply.Result;
        *steamId = reply.SteamId;
    }
    return Report(bridge, result);
}

int32_t ToPollOutputs(FKvBridge* bridge, const FBridgeResult& result, uint32_t* count)
{
    *count = result ? static_cast<uint32_t>(bridge->Events.size()) : 0;
    if (!result)
    {
        bridge->Events.clear();
    }
    return Report(bridge, result);
}
} // namespace

extern "C" FKvBridge* KvBridgeCreate(void)
{
    // Its members allocate as they are made, so a nothrow new would not be enough.
    try
    {
        return new FKvBridge();
    }
    catch (...)
    {
        return nullptr;
    }
}

extern "C" void KvBridgeDestroy(FKvBridge* bridge)
{
    delete bridge;
}

extern "C" int32_t KvBridgeStart(FKvBridge* bridge, const wchar_t* exePath, const wchar_t* workingDirectory,
                                 const wchar_t* const* extraEnvironment, uint32_t extraCount)
{
    return Guarded(bridge, static_cast<int32_t>(KvBridgeOutOfMemory),
                   [&]() -> int32_t
                   {
                       if (bridge == nullptr || exePath == nullptr)
                       {
                           return BadArgument(bridge, "exePath is NULL");
                       }
                       if (extraEnvironment == nullptr && extraCount > 0)
                       {
                           return BadArgument(bridge, "extraEnvironment is NULL but extraCount is not 0");
                       }
                       std::vector<std::wstring> environment;
                       for (uint32_t i = 0; i < extraCount; ++i)
                       {
                           if (extraEnvironment[i] == nullptr)
                           {
                               return BadArgument(bridge, "an entry of extraEnvironment is NULL");
                           }
                           environment.emplace_back(extraEnvironment[i]);
                       }
                       bridge->Events.clear();
                       return Report(
                           bridge,
                           bridge->Parent.Start(exePath, workingDirectory != nullptr ? workingDirectory : L"",
                                                environment));
                   });
}

extern "C" int32_t KvBridgeAuthenticate(FKvBridge* bridge, uint32_t clientAddress, const uint8_t* ticket,
                                        uint32_t ticketSize, uint32_t timeoutMs, uint32_t* result,
                                        uint64_t* steamId)
{
    return Guarded(bridge, static_cast<int32_t>(KvBridgeOutOfMemory),
                   [&]() -> int32_t
                   {
                       if (bridge == nullptr || (ticket == nullptr && ticketSize > 0))
                       {
                           return BadArgument(bridge, "ticket is NULL but ticketSize is not 0");
                       }
                       if (result == nullptr || steamId == nullptr)
                       {
                           return BadArgument(bridge, "result or steamId is NULL");
                       }
                       FAuthenticateReply reply;
                       const FBridgeResult outcome = bridge->Parent.Authenticate(
                           clientAddress, TicketBytes(ticket, ticketSize), reply, timeoutMs);
                       return ToAuthenticateOutputs(bridge, outcome, reply, result, steamId);
                   });
}

extern "C" int32_t KvBridgePollEvents(FKvBridge* bridge, uint32_t timeoutMs, uint32_t* count)
{
    return Guarded(bridge, static_cast<int32_t>(KvBridgeOutOfMemory),
                   [&]() -> int32_t
                   {
                       if (bridge == nullptr || count == nullptr)
                       {
                           return BadArgument(bridge, "count is NULL");
                       }
                       return ToPollOutputs(bridge, bridge->Parent.PollEvents(bridge->Events, timeoutMs),
                                            count);
                   });
}

extern "C" int32_t KvBridgeGetEvent(FKvBridge* bridge, uint32_t index, FKvBridgeEvent* event)
{
    return Guarded(
        bridge, static_cast<int32_t>(KvBridgeOutOfMemory),
        [&]() -> int32_t
        {
            if (bridge == nullptr || event == nullptr)
            {
                return BadArgument(bridge, "event is NULL");
            }
            if (index >= bridge->Events.size())
            {
                char text[96];
                std::snprintf(text, sizeof(text), "event index %u is out of range: the last poll returned %u",
                              static_cast<unsigned>(index), static_cast<unsigned>(bridge->Events.size()));
                return BadArgument(bridge, text);
            }
            const FBridgeEvent& source = bridge->Events[index];
            event->SteamId = source.SteamId;
            event->Type = static_cast<int32_t>(source.Type);
            event->Reason = source.Reason;
            return KvBridgeOk;
        });
}

extern "C" int32_t KvBridgeSendAuthenticate(FKvBridge* bridge, uint32_t clientAddress, const uint8_t* ticket,
                                            uint32_t ticketSize)
{
    return Guarded(bridge, static_cast<int32_t>(KvBridgeOutOfMemory),
                   [&]() -> int32_t
                   {
                       if (bridge == nullptr || (ticket == nullptr && ticketSize > 0))
                       {
                           return BadArgument(bridge, "ticket is NULL but ticketSize is not 0");
                       }
                       return Report(bridge, bridge->Parent.SendAuthenticate(
                                                 clientAddress, TicketBytes(ticket, ticketSize)));
                   });
}

extern "C" int32_t KvBridgeSendPollEvents(FKvBridge* bridge)
{
    return Guarded(bridge, static_cast<int32_t>(KvBridgeOutOfMemory),
                   [&]() -> int32_t
                   {
                       if (bridge == nullptr)
                       {
                           return KvBridgeBadArgument;
                       }
                       return Report(bridge, bridge->Parent.SendPollEvents());
                   });
}

extern "C" int32_t KvBridgeReadAuthenticateReply(FKvBridge* bridge, uint32_t timeoutMs, uint32_t* result,
                                                 uint64_t* steamId)
{
    return Guarded(bridge, static_cast<int32_t>(KvBridgeOutOfMemory),
                   [&]() -> int32_t
                   {
                       if (bridge == nullptr || result == nullptr || steamId == nullptr)
                       {
                           return BadArgument(bridge, "result or steamId is NULL");
                       }
                       FAuthenticateReply reply;
                       const FBridgeResult outcome = bridge->Parent.ReadAuthenticateReply(reply, timeoutMs);
                       return ToAuthenticateOutputs(bridge, outcome, reply, result, steamId);
                   });
}

extern "C" int32_t KvBridgeReadPollReply(FKvBridge* bridge, uint32_t timeoutMs, uint32_t* count)
{
    return Guarded(bridge, static_cast<int32_t>(KvBridgeOutOfMemory),
                   [&]() -> int32_t
                   {
                       if (bridge == nullptr || count == nullptr)
                       {
                           return BadArgument(bridge, "count is NULL");
                       }
                       return ToPollOutputs(bridge, bridge->Parent.ReadPollReply(bridge->Events, timeoutMs),
                                            count);
                   });
}

extern "C" void KvBridgeStop(FKvBridge* bridge)
{
    if (bridge != nullptr)
    {
        bridge->Parent.Kill();
        bridge->Events.clear();
        // Moved in, so nothing is allocated.
        bridge->Last = FBridgeResult();
        bridge->LastMessage = std::string("ok");
        bridge->FixedMessage = nullptr;
    }
}

extern "C" const char* KvBridgeLastMessage(const FKvBridge* bridge)
{
    if (bridge == nullptr)
    {
        return "no handle";
    }
    return bridge->FixedMessage != nullptr ? bridge->FixedMessage : bridge->LastMessage.c_str();
}

extern "C" int32_t KvBridgeLastExitStatus(const FKvBridge* bridge, uint32_t* exitStatus)
{
    if (bridge == nullptr || exitStatus == nullptr || !bridge->Last.ExitCodeKnown)
    {
        return 0;
    }
    *exitStatus = bridge->Last.ExitCode;
    return 1;
}

extern "C" int32_t KvBridgeIsProtected(const FKvBridge* bridge)
{
    return bridge != nullptr && bridge->Parent.IsProtected() ? 1 : 0;
}

extern "C" uint32_t KvBridgeProtectionError(const FKvBridge* bridge)
{
    return bridge != nullptr ? bridge->Parent.ProtectionError() : 0;
}

extern "C" uint32_t KvBridgeProcessId(const FKvBridge* bridge)
{
    return bridge != nullptr ? bridge->Parent.ProcessId() : 0;
}

extern "C" int32_t KvBridgeCheckServing(FKvBridge* bridge, uint32_t timeoutMs)
{
    return Guarded(bridge, static_cast<int32_t>(KvBridgeOutOfMemory),
                   [&]() -> int32_t
                   {
                       if (bridge == nullptr)
                       {
                           return KvBridgeBadArgument;
                       }
                       return Report(bridge, bridge->Parent.CheckServing(timeoutMs));
                   });
}

extern "C" int32_t KvBridgeReplyReady(FKvBridge* bridge)
{
    return Guarded(bridge, 1,
                   [&]() -> int32_t { return bridge != nullptr && bridge->Parent.ReplyReady() ? 1 : 0; });
}

extern "C" void* KvBridgeWaitHandle(const FKvBridge* bridge)
{
    return bridge != nullptr ? bridge->Parent.WaitHandle() : nullptr;
}

extern "C" uint32_t KvBridgeOwedReplies(const FKvBridge* bridge)
{
    return bridge != nullptr ? bridge->Parent.OwedReplies() : 0;
}

extern "C" uint32_t KvBridgeBytesWaiting(FKvBridge* bridge)
{
    return Guarded(bridge, 0u,
                   [&]() -> uint32_t { return bridge != nullptr ? bridge->Parent.BytesWaiting() : 0; });
}

extern "C" int32_t KvBridgeWrite(FKvBridge* bridge, const void* data, uint32_t size)
{
    return Guarded(bridge, static_cast<int32_t>(KvBridgeOutOfMemory),
                   [&]() -> int32_t
                   {
                       if (bridge == nullptr || (data == nullptr && size > 0))
                       {
                           return BadArgument(bridge, "data is NULL but size is not 0");
                       }
                       return Report(bridge, bridge->Parent.Write(data, size));
                   });
}

extern "C" int32_t KvBridgeReadExact(FKvBridge* bridge, void* buffer, uint32_t size, uint32_t timeoutMs)
{
    return Guarded(bridge, static_cast<int32_t>(KvBridgeOutOfMemory),
                   [&]() -> int32_t
                   {
                       if (bridge == nullptr || (buffer == nullptr && size > 0))
                       {
                           return BadArgument(bridge, "buffer is NULL but size is not 0");
                       }
                       return Report(bridge, bridge->Parent.ReadExact(buffer, size, timeoutMs));
                   });
}

extern "C" void KvBridgeCloseInput(FKvBridge* bridge)
{
    if (bridge != nullptr)
    {
        bridge->Parent.CloseInput();
    }
}

extern "C" int32_t KvBridgeIsRunning(const FKvBridge* bridge)
{
    return bridge != nullptr && bridge->Parent.IsRunning() ? 1 : 0;
}

extern "C" int32_t KvBridgeWaitForExit(FKvBridge* bridge, uint32_t timeoutMs, uint32_t* exitStatus)
{
    return Guarded(bridge, static_cast<int32_t>(KvBridgeOutOfMemory),
                   [&]() -> int32_t
                   {
                       if (bridge == nullptr || exitStatus == nullptr)
                       {
                           return BadArgument(bridge, "exitStatus is NULL");
                       }
                       if (bridge->Parent.Process() == nullptr)
                       {
                           FBridgeResult none;
                           none.Error = EBridgeError::NotStarted;
                           return Report(bridge, none);
                       }
                       DWORD exitCode = 0;
                       if (!bridge->Parent.WaitForExit(timeoutMs, exitCode))
                       {
                           bridge->Last = FBridgeResult();
                           bridge->Last.Error = EBridgeError::TimedOut;
                           bridge->LastMessage =
                               "the bridge still runs after " + std::to_string(timeoutMs) + " ms";
                           return KvBridgeTimedOut;
                       }
                       FBridgeResult ended;
                       ended.ExitCodeKnown = true;
                       ended.ExitCode = exitCode;
                       *exitStatus = exitCode;
                       return Report(bridge, ended);
                   });
}

extern "C" const char* KvBridgeErrorName(int32_t error)
{
    if (error == KvBridgeOk)
    {
        return "ok";
    }
    if (error == KvBridgeBadArgument)
    {
        return "bad argument";
    }
    if (error == KvBridgeOutOfMemory)
    {
        return "out of memory";
    }
    return error > KvBridgeOk && error <= KvBridgeWaitFailed ? ErrorName(static_cast<EBridgeError>(error))
                                                             : "unknown";
}

extern "C" const char* KvBridgeEventTypeName(int32_t type)
{
    return EventTypeName(static_cast<EParentEventType>(type));
}
