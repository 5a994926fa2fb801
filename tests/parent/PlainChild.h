// A child process started the ordinary way, as any other part of a game server might start one:
// CreateProcess inheriting every inheritable handle of this process, standard input and output on
// pipes. The tests use it for servers of their own and to see what an unrelated child can inherit.
#pragma once

#include <windows.h>

#include <string>

class FPlainChild
{
public:
    FPlainChild() = default;
    FPlainChild(const FPlainChild&) = delete;
    FPlainChild& operator=(const FPlainChild&) = delete;
    // Kills the child if it still runs.
    ~FPlainChild();

    // When job is given, the child is put in it before it runs. consoleFlag: CREATE_NO_WINDOW, or
    // DETACHED_PROCESS for a child without a console.
    bool Start(const std::wstring& commandLine, HANDLE job = nullptr, DWORD consoleFlag = CREATE_NO_WINDOW);
    // Exactly size bytes of the child's output; false on timeout or when the child has gone.
    bool ReadExact(void* buffer, DWORD size, DWORD timeoutMs);
    void CloseInput();
    void Kill(UINT exitCode);
    HANDLE Process() const { return ProcessHandle; }

private:
    HANDLE ProcessHandle = nullptr;
    HANDLE ToChild = nullptr;
    HANDLE FromChild = nullptr;
};
