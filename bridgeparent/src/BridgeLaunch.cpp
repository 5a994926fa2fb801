#include "BridgeLaunch.h"

#include <cwchar>
#include <string>
#include <utility>

namespace
{
// Large enough that a parent can write a burst of requests without waiting for the bridge.
constexpr DWORD PipeBufferSize = 1 << 20;
// Names taken by another process are skipped; after this many the start fails.
constexpr int PipeNameAttempts = 4;

// Keeps the Windows error of the call that has just failed, before anything else can change it.
bool Failed(DWORD& error)
{
    error = GetLastError();
    return false;
}

// The bridge's output: a named pipe whose reading end (ours) is opened for overlapped I/O, so that a
// read can wait in the kernel with a timeout, and whose writing end (the bridge's) is an ordinary
// synchronous handle, so that the bridge writes to it as to any pipe. A name unique to this process
// and call, created first by us (so no other process can have made it), refusing remote clients,
// with one instance that the bridge's end takes at once, so no other process can connect; the
// default security would let only this user, administrators and the system write to it anyway.
bool CreateOutputPipe(FOwnedHandle& ours, FOwnedHandle& bridges, DWORD& error)
{
    static volatile LONG serial = 0;
    for (int attempt = 0; attempt < PipeNameAttempts; ++attempt)
    {
        const std::wstring name =
            L"\\\\.\\pipe\\karveth-authbridge-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(InterlockedIncrement(&serial)) + L"-" + std::to_wstring(GetTickCount64());
        ours.Reset(CreateNamedPipeW(
            name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
            PipeBufferSize, 0, nullptr));
        if (!ours)
        {
            Failed(error);
            if (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY)
            {
                continue;
            }
            return false;
        }
        bridges.Reset(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!bridges)
        {
            Failed(error);
            ours.Reset();
            return false;
        }
        return true;
    }
    return false;
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

// The attribute list that limits what the child inherits to the given handles.
class FInheritList
{
public:
    // Get() is null when it could not be made, and Error() says why.
    FInheritList(HANDLE* handles, size_t count)
    {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        Storage.resize(size);
        List = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(Storage.data());
        if (!InitializeProcThreadAttributeList(List, 1, 0, &size))
        {
            Failed(ListError);
            List = nullptr;
            return;
        }
        if (!UpdateProcThreadAttribute(List, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                       count * sizeof(HANDLE), nullptr, nullptr))
        {
            Failed(ListError);
            DeleteProcThreadAttributeList(List);
            List = nullptr;
        }
    }
    ~FInheritList()
    {
        if (List != nullptr)
        {
            DeleteProcThreadAttributeList(List);
        }
    }
    FInheritList(const FInheritList&) = delete;
    FInheritList& operator=(const FInheritList&) = delete;

    LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return List; }
    DWORD Error() const { return ListError; }

private:
    std::vector<unsigned char> Storage;
    LPPROC_THREAD_ATTRIBUTE_LIST List = nullptr;
    DWORD ListError = 0;
};

// A job that ends every process in it when its last handle closes, which happens when this
// process ends, however it ends. Returns the Windows error when the bridge cannot be put in it,
// for example because our own job forbids it.
DWORD TieToJob(HANDLE process, FOwnedHandle& job)
{
    FOwnedHandle made(CreateJobObjectW(nullptr, nullptr));
    if (!made)
    {
        return GetLastError();
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(made.Get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits)) ||
        !AssignProcessToJobObject(made.Get(), process))
    {
        return GetLastError();
    }
    job = std::move(made);
    return 0;
}
} // namespace

bool LaunchBridge(const std::wstring& exePath, const std::wstring& workingDirectory,
                  const std::vector<std::wstring>& extraEnvironment, FLaunchedBridge& launched, DWORD& error)
{
    launched = FLaunchedBridge();
    // Every handle is made without inheritance. Only the child's three are marked inheritable, and
    // the handle list hands exactly those to the bridge, so our ends never reach any child. While
    // they are inheritable, a child that another thread starts with inheritance of every handle can
    // receive them too, so that moment is kept to the one call that needs it: everything that can
    // be made before comes before.
    std::wstring commandLine = L"\"" + exePath + L"\"";
    std::vector<wchar_t> environment = BuildEnvironment(extraEnvironment);
    HANDLE input = nullptr;
    HANDLE toBridge = nullptr;
    if (!CreatePipe(&input, &toBridge, nullptr, PipeBufferSize))
    {
        return Failed(error);
    }
    FOwnedHandle childInput(input);
    FOwnedHandle ours(toBridge);
    FOwnedHandle fromBridge;
    FOwnedHandle childOutput;
    if (!CreateOutputPipe(fromBridge, childOutput, error))
    {
        return false;
    }
    FOwnedHandle nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
    if (!nul)
    {
        return Failed(error);
    }
    HANDLE inherited[] = {childInput.Get(), childOutput.Get(), nul.Get()};
    FInheritList inheritList(inherited, sizeof(inherited) / sizeof(inherited[0]));
    if (inheritList.Get() == nullptr)
    {
        error = inheritList.Error();
        return false;
    }
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = childInput.Get();
    startup.StartupInfo.hStdOutput = childOutput.Get();
    startup.StartupInfo.hStdError = nul.Get();
    startup.lpAttributeList = inheritList.Get();

    for (HANDLE handle : inherited)
    {
        if (!SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
        {
            return Failed(error);
        }
    }
    PROCESS_INFORMATION process = {};
    // Suspended until it is in the job, so that not even its start-up can outlive us.
    if (!CreateProcessW(exePath.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT |
                            EXTENDED_STARTUPINFO_PRESENT,
                        environment.data(), workingDirectory.empty() ? nullptr : workingDirectory.c_str(),
                        &startup.StartupInfo, &process))
    {
        return Failed(error);
    }
    // The bridge has its own copies now.
    childInput.Reset();
    childOutput.Reset();
    nul.Reset();

    launched.Process.Reset(process.hProcess);
    const FOwnedHandle thread(process.hThread);
    launched.ProcessId = process.dwProcessId;
    launched.ToBridge = std::move(ours);
    launched.FromBridge = std::move(fromBridge);
    launched.JobError = TieToJob(process.hProcess, launched.Job);
    // Unprotected or not, the bridge runs: a server in a restrictive job still needs its bridge.
    ResumeThread(process.hThread);
    return true;
}
