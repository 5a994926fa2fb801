#include "BridgeSession.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace
{
constexpr int ApproveCallbackId = 201;
constexpr int DenyCallbackId = 202;
constexpr int32_t ApproveReason = -1;
constexpr DWORD LogPollIntervalMs = 20;

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

// Unique across the test processes that run side by side and across sessions in one process.
std::wstring NewLogPath()
{
    static LONG sessionCount = 0;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"karveth-notices-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(InterlockedIncrement(&sessionCount)) + L".log";
}

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

FBridgeSession::FBridgeSession() : LogPath(NewLogPath())
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
    return Parent.Start(folder + L"\\authbridge.exe", folder, {L"STEAM_STANDIN_LOG=" + LogPath});
}

std::vector<std::string> FBridgeSession::LogLines() const
{
    std::vector<std::string> lines;
    HANDLE file =
        CreateFileW(LogPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return lines;
    }
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
    {
        text.append(buffer, read);
    }
    CloseHandle(file);
    // Only whole lines: the stand-in may be writing the last one right now.
    size_t begin = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', begin))
    {
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
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
