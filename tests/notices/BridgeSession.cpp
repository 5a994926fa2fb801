#include "BridgeSession.h"

#include "TestFiles.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace
{
constexpr int ApproveCallbackId = 201;
constexpr int DenyCallbackId = 202;
constexpr int32_t ApproveReason = -1;
constexpr DWORD LogPollIntervalMs = 20;

// The text after "name=" up to the next space.
std::string Field(const std::string& line, const char* name)
{
    const std::string key = std::string(" ") + name + "=";
    const size_t start = line.find(key);
    if (start == std::string::npos)
    {
        return std::string();
    }
    const size_t begin = start + key.size();
    return line.substr(begin, line.find(' ', begin) - begin);
}

uint64_t UnsignedField(const std::string& line, const char* name)
{
    return std::strtoull(Field(line, name).c_str(), nullptr, 0);
}

int32_t SignedField(const std::string& line, const char* name)
{
    return static_cast<int32_t>(std::strtoll(Field(line, name).c_str(), nullptr, 10));
}

bool StartsWith(const std::string& line, const char* prefix)
{
    return line.compare(0, std::strlen(prefix), prefix) == 0;
}
FBridgeEvent EventForNotice(const FLoggedNotice& notice)
{
    FBridgeEvent event;
    event.SteamId = notice.SteamId;
    switch (notice.CallbackId)
    {
    case ApproveCallbackId:
        event.Type = EParentEventType::Approve;
        event.Reason = ApproveReason;
        break;
    case DenyCallbackId:
        event.Type = EParentEventType::Deny;
        event.Reason = notice.Reason;
        break;
    default:
        event.Type = EParentEventType::Kick;
        event.Reason = notice.Reason;
        break;
    }
    return event;
}

} // namespace

FBridgeSession::FBridgeSession() : LogPath(UniqueTempPath(L"karveth-notices", L".log"))
{
    DeleteFileW(LogPath.c_str());
}

FBridgeSession::~FBridgeSession()
{
    Parent.Kill();
    DeleteFileW(LogPath.c_str());
}

bool FBridgeSession::Start()
{
    const std::wstring folder = ProgramFolder();
    return static_cast<bool>(
        Parent.Start(folder + L"\\authbridge.exe", folder, {L"STEAM_STANDIN_LOG=" + LogPath}));
}

std::vector<std::string> FBridgeSession::LogLines() const
{
    return ReadWholeLines(LogPath);
}

std::vector<FLoggedNotice> FBridgeSession::LoggedNotices() const
{
    std::vector<FLoggedNotice> notices;
    for (const std::string& line : LogLines())
    {
        if (StartsWith(line, "Notice "))
        {
            FLoggedNotice notice;
            notice.CallbackId = static_cast<int>(UnsignedField(line, "callback"));
            notice.SteamId = UnsignedField(line, "steamid");
            notice.Reason = SignedField(line, "reason");
            notices.push_back(notice);
        }
    }
    return notices;
}

std::vector<FLoggedAuthenticate> FBridgeSession::LoggedAuthenticates() const
{
    std::vector<FLoggedAuthenticate> calls;
    for (const std::string& line : LogLines())
    {
        if (StartsWith(line, "Authenticate "))
        {
            FLoggedAuthenticate call;
            call.Address = static_cast<uint32_t>(UnsignedField(line, "ip"));
            call.Length = static_cast<uint32_t>(UnsignedField(line, "length"));
            call.Result = static_cast<uint32_t>(UnsignedField(line, "result"));
            call.SteamId = UnsignedField(line, "steamid");
            calls.push_back(call);
        }
    }
    return calls;
}

bool FBridgeSession::WaitForLoggedNotices(size_t count, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (LoggedNotices().size() < count)
    {
        if (GetTickCount64() >= deadline)
        {
            return false;
        }
        Sleep(LogPollIntervalMs);
    }
    return true;
}

bool FBridgeSession::IsRunning() const
{
    return Parent.Process() != nullptr && WaitForSingleObject(Parent.Process(), 0) == WAIT_TIMEOUT;
}

std::vector<FScriptedEvent> ScriptedEvents(const FStandInTicket& ticket)
{
    std::vector<FScriptedEvent> events;
    if (ticket.Verdict == EStandInVerdict::Approve)
    {
        events.push_back({ticket.VerdictDelay, {ticket.SteamId, EParentEventType::Approve, ApproveReason}});
    }
    else
    {
        events.push_back({ticket.VerdictDelay, {ticket.SteamId, EParentEventType::Deny, ticket.DenyReason}});
    }
    if (ticket.KickDelay != 0)
    {
        events.push_back({ticket.VerdictDelay + ticket.KickDelay,
                          {ticket.SteamId, EParentEventType::Kick, ticket.KickReason}});
    }
    return events;
}

std::vector<FBridgeEvent> EventsForNotices(const std::vector<FLoggedNotice>& notices)
{
    std::vector<FBridgeEvent> events(notices.size());
    std::transform(notices.begin(), notices.end(), events.begin(), EventForNotice);
    return events;
}

bool operator==(const FBridgeEvent& a, const FBridgeEvent& b)
{
    return a.SteamId == b.SteamId && a.Type == b.Type && a.Reason == b.Reason;
}

void PrintTo(const FBridgeEvent& event, std::ostream* out)
{
    *out << EventTypeName(event.Type) << "(" << event.SteamId << ", " << event.Reason << ")";
}

uint64_t IndividualSteamId(uint32_t account)
{
    // Universe 1 (public), account type 1 (individual), instance 1.
    return 0x0110000100000000ULL | account;
}
