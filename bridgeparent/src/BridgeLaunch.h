// Starting the bridge: pipes that only the bridge inherits, and a job object that ends it with us.
#pragma once

#include "OwnedHandle.h"

#include <windows.h>

#include <string>
#include <vector>

struct FLaunchedBridge
{
    FOwnedHandle Process;
    DWORD ProcessId = 0;
    // Null when the bridge could not be put in a job that ends it with us.
    FOwnedHandle Job;
    // Our ends of the bridge's standard input and output; the output's is opened for overlapped I/O.
    FOwnedHandle ToBridge;
    FOwnedHandle FromBridge;
    // Windows' error when the bridge could not be put in the job.
    DWORD JobError = 0;
};

// False, with the Windows error of the call that failed, when the pipes or the process could not be
// made; nothing is left open then.
bool LaunchBridge(const std::wstring& exePath, const std::wstring& workingDirectory,
                  const std::vector<std::wstring>& extraEnvironment, FLaunchedBridge& launched, DWORD& error);
