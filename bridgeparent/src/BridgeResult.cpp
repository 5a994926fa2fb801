// The texts that say why a call failed.
#include "BridgeParent.h"

#include <cstdarg>
#include <cstdio>

namespace
{
// Exit statuses that Windows gives a process whose start-up or run failed.
constexpr uint32_t StatusAccessViolation = 0xC0000005;
constexpr uint32_t StatusInvalidImageFormat = 0xC000007B;
constexpr uint32_t StatusDllNotFound = 0xC0000135;
constexpr uint32_t StatusEntryPointNotFound = 0xC0000139;
constexpr uint32_t StatusDllInitFailed = 0xC0000142;
constexpr uint32_t StatusStackOverflow = 0xC00000FD;
constexpr uint32_t StatusFailFast = 0xC0000409;

std::string Format(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

std::string Utf8(const wchar_t* text, size_t length)
{
    std::string converted;
    if (length > 0)
    {
        const int size =
            WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
        converted.resize(static_cast<size_t>(size));
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &converted[0], size, nullptr,
                            nullptr);
    }
    return converted;
}

std::string SystemMessage(uint32_t error)
{
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = Utf8(text, length);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.' ||
                                message.back() == ' '))
    {
        message.pop_back();
    }
    return message.empty() ? Format("error %u", error) : Format("%s (error %u)", message.c_str(), error);
}

std::string StartFailureText(const FBridgeResult& result)
{
    const std::string folder =
        result.WorkingDirectory.empty()
            ? "this process's working directory"
            : "\"" + Utf8(result.WorkingDirectory.data(), result.WorkingDirectory.size()) + "\"";
    return "cannot start the bridge \"" + Utf8(result.ProgramPath.data(), result.ProgramPath.size()) +
           "\" in " + folder + ": " + SystemMessage(result.SystemError);
}

std::string ExitStatusText(const FBridgeResult& result)
{
    if (!result.ExitCodeKnown)
    {
        return "; its exit status is not known";
    }
    const std::string meaning = DescribeExitStatus(result.ExitCode);
    return Format(" with exit status 0x%08X", result.ExitCode) + (meaning.empty() ? "" : ": " + meaning);
}
} // namespace

const char* EventTypeName(EParentEventType type)
{
    switch (type)
    {
    case EParentEventType::Approve:
        return "approve";
    case EParentEventType::Deny:
        return "deny";
    case EParentEventType::Kick:
        return "kick";
    }
    return "unknown";
}

const char* ErrorName(EBridgeError error)
{
    switch (error)
    {
    case EBridgeError::None:
        return "none";
    case EBridgeError::NotStarted:
        return "not started";
    case EBridgeError::StartFailed:
        return "start failed";
    case EBridgeError::TimedOut:
        return "timed out";
    case EBridgeError::BridgeGone:
        return "bridge gone";
    case EBridgeError::ShortReply:
        return "short reply";
    case EBridgeError::RepliesOwed:
        return "replies owed";
    case EBridgeError::TooManyEvents:
        return "too many events";
    case EBridgeError::WaitFailed:
        return "wait failed";
    }
    return "unknown";
}

std::string DescribeExitStatus(uint32_t exitStatus)
{
    switch (exitStatus)
    {
    case 0:
        return "its own exit after 900 s without input, or ended from outside";
    case StatusDllNotFound:
        return "a DLL it needs was not found; put steam_api.dll beside authbridge.exe";
    case StatusEntryPointNotFound:
        return "a DLL lacks a function it imports; steam_api.dll is not a matching Steam game-server library";
    case StatusInvalidImageFormat:
        return "a DLL is damaged or of the wrong bitness; the 32-bit authbridge.exe needs the 32-bit "
               "steam_api.dll";
    case StatusDllInitFailed:
        return "a DLL failed to initialise (steam_api.dll or one it loads)";
    case StatusAccessViolation:
        return "it crashed (access violation)";
    case StatusStackOverflow:
        return "it crashed (stack overflow)";
    case StatusFailFast:
        return "it was ended by a fatal error check";
    }
    return std::string();
}

std::string FBridgeResult::Message() const
{
    switch (Error)
    {
    case EBridgeError::None:
        return "ok";
    case EBridgeError::NotStarted:
        return "the bridge is not running: it was not started, its start failed, it was stopped or its input "
               "was closed";
    case EBridgeError::StartFailed:
        return StartFailureText(*this);
    case EBridgeError::TimedOut:
        return Format("no complete reply within %u ms (%u of %u bytes arrived); the bridge still runs",
                      TimeoutMs, BytesReceived, BytesExpected);
    case EBridgeError::BridgeGone:
        return "the bridge has ended" + ExitStatusText(*this);
    case EBridgeError::ShortReply:
        return Format("the bridge ended in the middle of a reply (%u of %u bytes arrived)", BytesReceived,
                      BytesExpected) +
               ExitStatusText(*this);
    case EBridgeError::RepliesOwed:
        return Format("%u replies to earlier requests have not been read; read them before a new request",
                      OwedReplies);
    case EBridgeError::TooManyEvents:
        return Format("a poll reply announced %u events, more than the %u a reply may hold: the program "
                      "answering is not authbridge or not in step with the requests (%u bytes received "
                      "are left unread)",
                      EventCount, MaxPollEvents, BytesReceived);
    case EBridgeError::WaitFailed:
        return "waiting for the bridge failed: " + SystemMessage(SystemError) +
               Format(" (%u of %u bytes arrived)", BytesReceived, BytesExpected);
    }
    return "unknown failure";
}
