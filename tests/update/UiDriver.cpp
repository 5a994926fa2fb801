#include "UiDriver.h"

#include <shlobj.h>

#include <cstdio>
#include <cstring>

namespace
{
constexpr DWORD PollMs = 50;
constexpr UINT SendTimeoutMs = 5000;
const wchar_t* const DialogClass = L"#32770";

struct FDialogSearch
{
    DWORD ProcessId;
    HWND Found;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM lParam)
{
    auto* search = reinterpret_cast<FDialogSearch*>(lParam);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if ((search->ProcessId == 0 || processId == search->ProcessId) && IsWindowVisible(window) &&
        IsWindowEnabled(window) && wcscmp(className, DialogClass) == 0)
    {
        search->Found = window;
        return FALSE;
    }
    return TRUE;
}

std::wstring WindowText(HWND window)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, SendTimeoutMs, &length))
    {
        return std::wstring();
    }
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(&text[0]), SMTO_ABORTIFHUNG,
                        SendTimeoutMs, &copied);
    text.resize(copied);
    return text;
}

std::wstring WithoutAccessKey(const std::wstring& text)
{
    std::wstring plain;
    for (wchar_t c : text)
    {
        if (c != L'&')
        {
            plain += c;
        }
    }
    return plain;
}

std::wstring ProcedureModule(HWND window)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HMODULE module = nullptr;
    if (processId != GetCurrentProcessId() ||
        !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(GetWindowLongPtrW(window, GWLP_WNDPROC)), &module))
    {
        return std::wstring();
    }
    wchar_t file[MAX_PATH] = {};
    GetModuleFileNameW(module, file, MAX_PATH);
    return file;
}

BOOL CALLBACK CollectChild(HWND child, LPARAM lParam)
{
    auto* info = reinterpret_cast<FWindowInfo*>(lParam);
    if (!IsWindowVisible(child))
    {
        return TRUE;
    }
    wchar_t className[64] = {};
    GetClassNameW(child, className, 64);
    if (_wcsicmp(className, L"Static") == 0)
    {
        const std::wstring text = WindowText(child);
        if (!text.empty())
        {
            info->Texts.push_back(text);
        }
    }
    else if (_wcsicmp(className, L"Button") == 0)
    {
        info->Buttons.push_back(
            FButtonInfo{GetDlgCtrlID(child), WithoutAccessKey(WindowText(child)), ProcedureModule(child)});
    }
    else if ((_wcsicmp(className, L"Edit") == 0 || _wcsnicmp(className, L"RichEdit", 8) == 0) &&
             info->EditText.empty())
    {
        info->EditText = WindowText(child);
        DWORD_PTR limit = 0;
        SendMessageTimeoutW(child, EM_GETLIMITTEXT, 0, 0, SMTO_ABORTIFHUNG, SendTimeoutMs, &limit);
        info->EditLimit = static_cast<LRESULT>(limit);
    }
    return TRUE;
}
} // namespace

HWND WaitForDialog(DWORD processId, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;)
    {
        FDialogSearch search{processId, nullptr};
        EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
        if (search.Found != nullptr)
        {
            return search.Found;
        }
        if (GetTickCount64() >= deadline)
        {
            return nullptr;
        }
        Sleep(PollMs);
    }
}

bool WaitUntilClosed(HWND window, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (IsWindow(window) && IsWindowVisible(window))
    {
        if (GetTickCount64() >= deadline)
        {
            return false;
        }
        Sleep(PollMs);
    }
    return true;
}

FWindowInfo DescribeWindow(HWND window)
{
    FWindowInfo info;
    info.Window = window;
    GetWindowThreadProcessId(window, &info.ProcessId);
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    info.ClassName = className;
    info.Title = WindowText(window);
    info.Style = GetWindowLongW(window, GWL_STYLE);
    info.ExStyle = GetWindowLongW(window, GWL_EXSTYLE);
    info.Owner = GetWindow(window, GW_OWNER);
    EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&info));
    return info;
}

std::wstring ButtonList(const FWindowInfo& info)
{
    std::wstring list;
    for (const FButtonInfo& button : info.Buttons)
    {
        list += (list.empty() ? L"" : L"|") + button.Text;
    }
    return list;
}

bool ClickButton(HWND dialog, int id)
{
    HWND button = GetDlgItem(dialog, id);
    if (button == nullptr)
    {
        return false;
    }
    // Posted: the click ends a modal loop, and the sender must not wait on it.
    return PostMessageW(button, BM_CLICK, 0, 0) != FALSE;
}

bool PressEscape(HWND dialog)
{
    GUITHREADINFO thread = {};
    thread.cbSize = sizeof(thread);
    HWND target = dialog;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &thread) && thread.hwndFocus != nullptr)
    {
        target = thread.hwndFocus;
    }
    const LPARAM scanCode = static_cast<LPARAM>(MapVirtualKeyW(VK_ESCAPE, MAPVK_VK_TO_VSC)) << 16;
    return PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, 1 | scanCode) &&
           PostMessageW(target, WM_KEYUP, VK_ESCAPE, 1 | scanCode | 0xC0000000);
}

bool PressCloseBox(HWND dialog)
{
    return PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0) != FALSE;
}

bool ChooseFolderInPicker(HWND picker, const std::wstring& folder)
{
    constexpr int Attempts = 5;
    constexpr DWORD SettleMs = 300;
    constexpr DWORD CloseWaitMs = 3000;

    // The picker reads the path in its own process, from a section mapped there too: writing into
    // another process's memory is refused where Wine runs under a user-mode emulator (qemu-user), a
    // shared section works everywhere. Looked up, since MinGW's import libraries lack both calls.
    using FMapViewOfFile3 =
        PVOID(WINAPI*)(HANDLE, HANDLE, PVOID, ULONG64, SIZE_T, ULONG, ULONG, void*, ULONG);
    using FUnmapViewOfFile2 = BOOL(WINAPI*)(HANDLE, PVOID, ULONG);
    const HMODULE kernelBase = GetModuleHandleW(L"kernelbase.dll");
    const auto mapViewOfFile3 = reinterpret_cast<FMapViewOfFile3>(
        reinterpret_cast<void*>(GetProcAddress(kernelBase, "MapViewOfFile3")));
    const auto unmapViewOfFile2 = reinterpret_cast<FUnmapViewOfFile2>(
        reinterpret_cast<void*>(GetProcAddress(kernelBase, "UnmapViewOfFile2")));
    DWORD processId = 0;
    GetWindowThreadProcessId(picker, &processId);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION, FALSE, processId);
    if (process == nullptr || mapViewOfFile3 == nullptr || unmapViewOfFile2 == nullptr)
    {
        if (process != nullptr)
        {
            CloseHandle(process);
        }
        return false;
    }
    const SIZE_T bytes = (folder.size() + 1) * sizeof(wchar_t);
    HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        static_cast<DWORD>(bytes), nullptr);
    void* remotePath = nullptr;
    if (section != nullptr)
    {
        void* localPath = MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, bytes);
        if (localPath != nullptr)
        {
            memcpy(localPath, folder.c_str(), bytes);
            UnmapViewOfFile(localPath);
            remotePath = mapViewOfFile3(section, process, nullptr, 0, 0, 0, PAGE_READONLY, nullptr, 0);
        }
        // The picker's view keeps the section alive.
        CloseHandle(section);
    }
    bool chosen = false;
    if (remotePath != nullptr)
    {
        // The edit box shows the name of the folder selected in the tree; the picker sometimes needs
        // a second request before it follows.
        const std::wstring leaf = folder.substr(folder.find_last_of(L'\\') + 1);
        for (int attempt = 0; attempt < Attempts && !chosen; ++attempt)
        {
            DWORD_PTR ignored = 0;
            SendMessageTimeoutW(picker, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(remotePath),
                                SMTO_ABORTIFHUNG, SendTimeoutMs, &ignored);
            Sleep(SettleMs);
            if (DescribeWindow(picker).EditText == leaf)
            {
                ClickButton(picker, IDOK);
                chosen = WaitUntilClosed(picker, CloseWaitMs);
            }
        }
    }
    // Unmapped only after the picker is gone or given up on, since it may still read the path.
    if (remotePath != nullptr && chosen)
    {
        unmapViewOfFile2(process, remotePath, 0);
    }
    CloseHandle(process);
    return chosen;
}

bool SaveScreenshot(HWND window, const std::string& unixPngPath)
{
    RECT rect = {};
    if (!GetWindowRect(window, &rect))
    {
        return false;
    }
    // Wine starts a Linux program like a Windows one; without a window manager the window's screen
    // rectangle is its place on the X root window.
    char command[1024];
    std::snprintf(command, sizeof(command),
                  "Z:\\usr\\bin\\import -window root -crop %ldx%ld+%ld+%ld +repage \"%s\"",
                  rect.right - rect.left, rect.bottom - rect.top, rect.left, rect.top, unixPngPath.c_str());
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    {
        return false;
    }
    WaitForSingleObject(process.hProcess, 30000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}
