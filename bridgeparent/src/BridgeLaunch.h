// Starting the bridge: pipes that only the bridge inherits, and a job object that ends it with us.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct FLaunchedBridge
{
    HANDLE Process = nullptr;
    DWORD ProcessId = 0;
    HANDLE Job = nullptr;
    // Our ends of the bridge's standard input and output.
    HANDLE ToBridge = nullptr;
    HANDLE FromBridge = nullptr;
    // Windows' error when the bridge could not be put in a job that ends it with us.
    DWORD JobError = 0;
};

// False, with the Windows error code, when the pipes or the process could not be made; nothing is
// left open then.
bool LaunchBridge(const std::wstring& exePath, const std::wstring& workingDirectory,
                  const std::vector<std::wstring>& extraEnvironment, FLaunchedBridge& launched, DWORD& error);

void CloseIfOpen(HANDLE& handle);
