#include "BridgeParent.h"

namespace
{
// Large enough that a parent can write a burst of requests without waiting for the bridge.
constexpr DWORD PipeBufferSize = 1 << 20;

void PutLE(std::vector<uint8_t>& out, uint64_t value, int size)
{
    for (int i = 0; i < size; ++i)
    {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

uint64_t GetLE(const uint8_t* in, int size)
{
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i)
    {
        value = (value << 8) | in[i];
    }
    return value;
}

void CloseIfOpen(HANDLE& handle)
{
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
    {
        CloseHandle(handle);
    }
    handle = nullptr;
}

// Our environment block with the extra entries appended (a later entry does not replace an
// earlier one of the same name, so callers add only names we do not have).
std::vector<wchar_t> BuildEnvironment(const std::vector<std::wstring>& extra)
{
    std::vector<wchar_t> block;
    wchar_t* current = GetEnvironmentStringsW();
    for (const wchar_t* entry = current; entry != nullptr && *entry != L'\0'; entry += wcslen(entry) + 1)
    {
        block.insert(block.end(), entry, entry + wcslen(entry) + 1);
    }
    FreeEnvironmentStringsW(current);
    for (const std::wstring& entry : extra)
    {
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
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

std::vector<uint8_t> EncodeAuthenticate(uint32_t clientAddress, const std::vector<uint8_t>& ticket)
{
    std::vector<uint8_t> bytes;
    PutLE(bytes, static_cast<uint32_t>(EParentRequest::Authenticate), 4);
    PutLE(bytes, clientAddress, 4);
    PutLE(bytes, ticket.size(), 4);
    bytes.insert(bytes.end(), ticket.begin(), ticket.end());
    return bytes;
}

std::vector<uint8_t> EncodePollEvents()
{
    std::vector<uint8_t> bytes;
    PutLE(bytes, static_cast<uint32_t>(EParentRequest::PollEvents), 4);
    return bytes;
}

FBridgeParent::~FBridgeParent()
{
    Kill();
}

bool FBridgeParent::Start(const std::wstring& exePath, const std::wstring& workingDirectory,
                          const std::vector<std::wstring>& extraEnvironment)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE childInput = nullptr;
    HANDLE childOutput = nullptr;
    if (!CreatePipe(&childInput, &ToBridge, &inheritable, PipeBufferSize))
    {
        return false;
    }
    if (!CreatePipe(&FromBridge, &childOutput, &inheritable, PipeBufferSize))
    {
        CloseIfOpen(childInput);
        CloseIfOpen(ToBridge);
        return false;
    }
    // Only the child's ends are inherited, so the bridge sees its input close when we close ours.
    SetHandleInformation(ToBridge, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(FromBridge, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             OPEN_EXISTING, 0, nullptr);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOutput;
    startup.hStdError = nul;
    PROCESS_INFORMATION process = {};
    std::wstring commandLine = L"\"" + exePath + L"\"";
    std::vector<wchar_t> environment = BuildEnvironment(extraEnvironment);
    const BOOL started =
        CreateProcessW(exePath.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, environment.data(),
                       workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &process);
    CloseIfOpen(childInput);
    CloseIfOpen(childOutput);
    CloseIfOpen(nul);
    if (!started)
    {
        CloseIfOpen(ToBridge);
        CloseIfOpen(FromBridge);
        return false;
    }
    CloseHandle(process.hThread);
    ProcessHandle = process.hProcess;
    return true;
}

bool FBridgeParent::Write(const void* data, size_t size)
{
    const uint8_t* next = static_cast<const uint8_t*>(data);
    while (size > 0)
    {
        DWORD written = 0;
        if (ToBridge == nullptr || !WriteFile(ToBridge, next, static_cast<DWORD>(size), &written, nullptr))
        {
            return false;
        }
        next += written;
        size -= written;
    }
    return true;
}

bool FBridgeParent::SendAuthenticate(uint32_t clientAddress, const std::vector<uint8_t>& ticket)
{
    return Write(EncodeAuthenticate(clientAddress, ticket));
}

bool FBridgeParent::SendPollEvents()
{
    return Write(EncodePollEvents());
}

bool FBridgeParent::ReadExact(void* buffer, size_t size, DWORD timeoutMs)
{
    uint8_t* next = static_cast<uint8_t*>(buffer);
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (size > 0)
    {
        // Anonymous pipes cannot time out a read, so wait for bytes with a peek first.
        DWORD available = 0;
        if (!PeekNamedPipe(FromBridge, nullptr, 0, nullptr, &available, nullptr))
        {
            return false;
        }
        if (available == 0)
        {
            if (GetTickCount64() >= deadline)
            {
                return false;
            }
            Sleep(1);
            continue;
        }
        const DWORD wanted = size < available ? static_cast<DWORD>(size) : available;
        DWORD read = 0;
        if (!ReadFile(FromBridge, next, wanted, &read, nullptr))
        {
            return false;
        }
        next += read;
        size -= read;
    }
    return true;
}

bool FBridgeParent::ReadAuthenticateReply(FAuthenticateReply& reply, DWORD timeoutMs)
{
    uint8_t bytes[12];
    if (!ReadExact(bytes, sizeof(bytes), timeoutMs))
    {
        return false;
    }
    reply.Result = static_cast<uint32_t>(GetLE(bytes, 4));
    reply.SteamId = GetLE(bytes + 4, 8);
    return true;
}

bool FBridgeParent::ReadPollReply(std::vector<FBridgeEvent>& events, DWORD timeoutMs)
{
    uint8_t countBytes[4];
    if (!ReadExact(countBytes, sizeof(countBytes), timeoutMs))
    {
        return false;
    }
    const uint32_t count = static_cast<uint32_t>(GetLE(countBytes, 4));
    std::vector<uint8_t> records(static_cast<size_t>(count) * 16);
    if (count > 0 && !ReadExact(records.data(), records.size(), timeoutMs))
    {
        return false;
    }
    events.clear();
    for (uint32_t i = 0; i < count; ++i)
    {
        const uint8_t* record = records.data() + static_cast<size_t>(i) * 16;
        FBridgeEvent event;
        event.SteamId = GetLE(record, 8);
        event.Type = static_cast<EParentEventType>(static_cast<int32_t>(GetLE(record + 8, 4)));
        event.Reason = static_cast<int32_t>(GetLE(record + 12, 4));
        events.push_back(event);
    }
    return true;
}

bool FBridgeParent::Authenticate(uint32_t clientAddress, const std::vector<uint8_t>& ticket,
                                 FAuthenticateReply& reply, DWORD timeoutMs)
{
    return SendAuthenticate(clientAddress, ticket) && ReadAuthenticateReply(reply, timeoutMs);
}

bool FBridgeParent::PollEvents(std::vector<FBridgeEvent>& events, DWORD timeoutMs)
{
    return SendPollEvents() && ReadPollReply(events, timeoutMs);
}

DWORD FBridgeParent::BytesWaiting() const
{
    DWORD available = 0;
    PeekNamedPipe(FromBridge, nullptr, 0, nullptr, &available, nullptr);
    return available;
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
    if (ProcessHandle != nullptr)
    {
        if (WaitForSingleObject(ProcessHandle, 0) == WAIT_TIMEOUT)
        {
            TerminateProcess(ProcessHandle, 1);
            WaitForSingleObject(ProcessHandle, 5000);
        }
    }
    CloseIfOpen(ProcessHandle);
    CloseIfOpen(ToBridge);
    CloseIfOpen(FromBridge);
}
