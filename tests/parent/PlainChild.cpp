#include "PlainChild.h"

namespace
{
void CloseIfOpen(HANDLE& handle)
{
    if (handle != nullptr)
    {
        CloseHandle(handle);
    }
    handle = nullptr;
}
} // namespace

FPlainChild::~FPlainChild()
{
    Kill(1);
}

bool FPlainChild::Start(const std::wstring& commandLine, HANDLE job, DWORD consoleFlag)
{
    HANDLE childInput = nullptr;
    HANDLE childOutput = nullptr;
    if (!CreatePipe(&childInput, &ToChild, nullptr, 0) || !CreatePipe(&FromChild, &childOutput, nullptr, 0))
    {
        return false;
    }
    SetHandleInformation(childInput, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetHandleInformation(childOutput, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOutput;
    startup.hStdError = childOutput;
    PROCESS_INFORMATION process = {};
    std::wstring mutableLine = commandLine;
    const BOOL started = CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, TRUE,
                                        CREATE_SUSPENDED | consoleFlag, nullptr, nullptr, &startup, &process);
    CloseIfOpen(childInput);
    CloseIfOpen(childOutput);
    if (!started)
    {
        return false;
    }
    if (job != nullptr)
    {
        AssignProcessToJobObject(job, process.hProcess);
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    ProcessHandle = process.hProcess;
    return true;
}

bool FPlainChild::ReadExact(void* buffer, DWORD size, DWORD timeoutMs)
{
    char* next = static_cast<char*>(buffer);
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (size > 0)
    {
        DWORD available = 0;
        if (!PeekNamedPipe(FromChild, nullptr, 0, nullptr, &available, nullptr))
        {
            return false;
        }
        if (available == 0)
        {
            if (GetTickCount64() >= deadline)
            {
                return false;
            }
            Sleep(5);
            continue;
        }
        DWORD read = 0;
        if (!ReadFile(FromChild, next, size < available ? size : available, &read, nullptr))
        {
            return false;
        }
        next += read;
        size -= read;
    }
    return true;
}

void FPlainChild::CloseInput()
{
    CloseIfOpen(ToChild);
}

void FPlainChild::Kill(UINT exitCode)
{
    if (ProcessHandle != nullptr && WaitForSingleObject(ProcessHandle, 0) == WAIT_TIMEOUT)
    {
        TerminateProcess(ProcessHandle, exitCode);
        WaitForSingleObject(ProcessHandle, 5000);
    }
    CloseIfOpen(ProcessHandle);
    CloseIfOpen(ToChild);
    CloseIfOpen(FromChild);
}
