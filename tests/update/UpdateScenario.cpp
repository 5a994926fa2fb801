#include "UpdateScenario.h"

#include "InstallLocation.h"
#include "TestFolders.h"
#include "UpdateRegistry.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <type_traits>

const wchar_t* const FailedText = L"Failed to apply patch!";
const wchar_t* const PatchedText = L"KVT was successfully patched!";
const wchar_t* const NotAppliedText = L"The patch was not applied!";

namespace
{
constexpr DWORD WindowWaitMs = 30000;
constexpr DWORD CloseWaitMs = 10000;
constexpr DWORD ExitWaitMs = 30000;
// Lets a new window finish painting before it is read or photographed.
constexpr DWORD SettleMs = 300;
constexpr DWORD LongPathCapacityForTests = 32768;

const wchar_t* const ScenarioBase = L"T:\\update-scenarios";
const wchar_t* const MessageCaption = L"Patch KVT";
const wchar_t* const WineDebugKey = L"Software\\Wine\\Debug";
const wchar_t* const RelayIncludeValue = L"RelayInclude";
const wchar_t* const TracedCall = L"user32.MessageBoxW";

std::wstring Join(const std::vector<std::wstring>& parts, const wchar_t* separator)
{
    std::wstring joined;
    for (const std::wstring& part : parts)
    {
        joined += (joined.empty() ? L"" : separator) + part;
    }
    return joined;
}

std::wstring Describe(const FWindowInfo& info)
{
    std::wstring line = info.Title;
    if (!info.Texts.empty())
    {
        line += L": " + Join(info.Texts, L" / ");
    }
    return line + L" [" + ButtonList(info) + L"]";
}

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

bool CopyFileTo(const std::wstring& from, const std::wstring& to)
{
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

// Wine's DLL overrides of this process, with the extra ones added.
std::string DllOverrides(const std::wstring& extra)
{
    wchar_t current[1024] = {};
    GetEnvironmentVariableW(L"WINEDLLOVERRIDES", current, 1024);
    std::wstring overrides = current;
    if (!extra.empty())
    {
        overrides += (overrides.empty() ? L"" : L";") + extra;
    }
    return std::string(overrides.begin(), overrides.end());
}

std::string UnixPath(const std::wstring& path)
{
    using FUnixFileName = std::add_pointer_t<char*(const wchar_t*)>;
    const auto unixFileName = reinterpret_cast<FUnixFileName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* converted = unixFileName != nullptr ? unixFileName(path.c_str()) : nullptr;
    if (converted == nullptr)
    {
        return std::string();
    }
    std::string result = converted;
    HeapFree(GetProcessHeap(), 0, converted);
    return result;
}

} // namespace

// Wine writes its call trace to the Unix standard error of a program, which a Windows parent cannot
// redirect, and takes DLL overrides from the Unix environment only; so the program is started through
// a shell with Wine's own launcher. The launcher also runs programs deeper than the classic path
// limit, which CreateProcess refuses.
bool StartThroughShell(const std::wstring& program, const std::wstring& workingFolder,
                       const std::wstring& traceFile, const std::wstring& extraDllOverrides)
{
    const std::string unixProgram = UnixPath(program);
    const std::string unixFolder = UnixPath(workingFolder);
    const std::string unixTrace = UnixPath(traceFile);
    if (unixProgram.empty() || unixFolder.empty() || unixTrace.empty())
    {
        return false;
    }
    std::string command = "Z:\\bin\\sh -c \"cd '" + unixFolder +
                          "' && PATH=/usr/local/bin:/usr/bin:/bin:$PATH WINEDEBUG=+relay WINEDLLOVERRIDES='" +
                          DllOverrides(extraDllOverrides) + "' exec wine '" + unixProgram + "' 2>'" +
                          unixTrace + "'\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION shell = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &shell))
    {
        return false;
    }
    CloseHandle(shell.hThread);
    CloseHandle(shell.hProcess);
    return true;
}

namespace
{
// The running program started from that file, found among the processes of the Wine prefix.
HANDLE FindProgramProcess(const std::wstring& program, DWORD& processId)
{
    const ULONGLONG deadline = GetTickCount64() + WindowWaitMs;
    const std::wstring name = program.substr(program.find_last_of(L'\\') + 1);
    while (GetTickCount64() < deadline)
    {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        {
            if (_wcsicmp(entry.szExeFile, name.c_str()) != 0)
            {
                continue;
            }
            HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE,
                                         FALSE, entry.th32ProcessID);
            std::vector<wchar_t> image(LongPathCapacityForTests, L'\0');
            DWORD size = LongPathCapacityForTests;
            if (process != nullptr && QueryFullProcessImageNameW(process, 0, image.data(), &size) &&
                _wcsicmp(image.data(), program.c_str()) == 0)
            {
                CloseHandle(snapshot);
                processId = entry.th32ProcessID;
                return process;
            }
            if (process != nullptr)
            {
                CloseHandle(process);
            }
        }
        CloseHandle(snapshot);
        Sleep(100);
    }
    return nullptr;
}

std::vector<std::wstring> LoadedLibraries(DWORD processId)
{
    std::vector<std::wstring> files;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    if (snapshot == INVALID_HANDLE_VALUE)
    {
        return files;
    }
    MODULEENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Module32FirstW(snapshot, &entry); more; more = Module32NextW(snapshot, &entry))
    {
        files.push_back(entry.szExePath);
    }
    CloseHandle(snapshot);
    return files;
}

// Limits Wine's call trace to the message boxes; gives back what the prefix had before.
class FRelayLimit
{
public:
    FRelayLimit()
    {
        RegCreateKeyExW(HKEY_CURRENT_USER, WineDebugKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                        nullptr, &Key, nullptr);
        DWORD size = sizeof(Previous);
        HadPrevious = RegQueryValueExW(Key, RelayIncludeValue, nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(Previous), &size) == ERROR_SUCCESS;
        Set(TracedCall);
    }

    ~FRelayLimit()
    {
        if (HadPrevious)
        {
            Set(Previous);
        }
        else
        {
            RegDeleteValueW(Key, RelayIncludeValue);
        }
        RegCloseKey(Key);
    }

    FRelayLimit(const FRelayLimit&) = delete;
    FRelayLimit& operator=(const FRelayLimit&) = delete;

private:
    void Set(const wchar_t* value)
    {
        RegSetValueExW(Key, RelayIncludeValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                       static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
    }

    HKEY Key = nullptr;
    wchar_t Previous[1024] = {};
    bool HadPrevious = false;
};

// Lines like: Call user32.MessageBoxW(00000000,1400040a0 L"text",140004000 L"Patch KVT",00040004) ret=...
std::vector<FMessageBoxCall> ParseMessageBoxCalls(const std::string& trace)
{
    const std::string call = "Call user32.MessageBoxW(";
    std::vector<FMessageBoxCall> calls;
    std::size_t at = 0;
    while ((at = trace.find(call, at)) != std::string::npos)
    {
        const std::size_t end = trace.find(") ret=", at);
        if (end == std::string::npos)
        {
            break;
        }
        const std::string arguments = trace.substr(at + call.size(), end - at - call.size());
        at = end;
        FMessageBoxCall parsed;
        parsed.Owner = std::strtoull(arguments.c_str(), nullptr, 16);
        const std::size_t lastComma = arguments.rfind(',');
        parsed.Flags = std::strtoul(arguments.c_str() + lastComma + 1, nullptr, 16);
        const std::size_t captionStart = arguments.rfind("L\"", lastComma);
        if (captionStart != std::string::npos && lastComma > captionStart + 3)
        {
            parsed.Caption = Wide(arguments.substr(captionStart + 2, lastComma - captionStart - 3));
        }
        calls.push_back(parsed);
    }
    return calls;
}

// The next dialog of the program, or nullptr once it has ended or shown nothing for a long time.
HWND NextWindow(HANDLE process, DWORD processId)
{
    const ULONGLONG deadline = GetTickCount64() + WindowWaitMs;
    while (GetTickCount64() < deadline)
    {
        if (HWND window = WaitForDialog(processId, 200))
        {
            return window;
        }
        if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0)
        {
            return nullptr;
        }
    }
    return nullptr;
}

bool Answer(HWND window, const FAnswer& answer)
{
    switch (answer.Answer)
    {
    case EAnswer::Accept:
    case EAnswer::Ok:
        return ClickButton(window, IDOK);
    case EAnswer::Decline:
    case EAnswer::CancelPicker:
        return ClickButton(window, IDCANCEL);
    case EAnswer::Yes:
        return ClickButton(window, IDYES);
    case EAnswer::No:
        return ClickButton(window, IDNO);
    case EAnswer::ChooseInPicker:
        return ChooseFolderInPicker(window, answer.Folder);
    }
    return false;
}

// A window the script did not expect: closed the way that changes least.
void Dismiss(HWND window)
{
    for (int id : {IDCANCEL, IDNO, IDOK})
    {
        if (GetDlgItem(window, id) != nullptr)
        {
            ClickButton(window, id);
            return;
        }
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
}

std::string ShotName(std::size_t number, const FWindowInfo& info)
{
    std::string kind = "window";
    if (info.Title == MessageCaption)
    {
        kind = "message";
    }
    else if (info.Title == L"End User License Agreement")
    {
        kind = "licence";
    }
    else if (!info.Texts.empty() && info.Texts.front() == L"Please browse to where KVT is installed")
    {
        kind = "picker";
    }
    char name[64];
    std::snprintf(name, sizeof(name), "update-%02u-%s.png", static_cast<unsigned>(number), kind.c_str());
    return name;
}
} // namespace

std::wstring LicenceWindow()
{
    return L"End User License Agreement [Accept|Decline]";
}

std::wstring PickerWindow()
{
    return L"Browse for Folder: Please browse to where KVT is installed / Folder: [OK|Cancel]";
}

std::wstring MessageWindow(const std::wstring& text)
{
    return std::wstring(MessageCaption) + L": " + text + L" [OK]";
}

std::wstring QuestionWindow(const std::wstring& text)
{
    return std::wstring(MessageCaption) + L": " + text + L" [Yes|No]";
}

std::wstring ConfirmText(const std::wstring& folder)
{
    return L"Would you like to apply the patch to\n'" + folder + L"'?";
}

std::wstring NotInstalledText(const std::wstring& folder)
{
    return L"Karveth does not seem to be installed at '" + folder + L"'";
}

FUpdateScenario::FUpdateScenario(const std::wstring& tag)
{
    DeleteAllInstallKeys();
    RootFolder = MakeFreshFolder(ScenarioBase, tag);
    IsReady = !RootFolder.empty() && UseDistFolder(RootFolder + L"\\dist");
}

FUpdateScenario::~FUpdateScenario()
{
    DeleteAllInstallKeys();
    RemoveTree(RootFolder);
}

bool FUpdateScenario::UseDistFolder(const std::wstring& folder)
{
    // Prefixed so that folders deeper than the classic path limit work too.
    const std::wstring dist = L"\\\\?\\" + folder;
    const std::wstring patch = dist + L"\\Patch";
    if (!(MakeFolder(dist) && CopyFileTo(ProgramFolder() + L"\\Update.exe", dist + L"\\Update.exe") &&
          CopyFileTo(ProgramFolder() + L"\\sample-EULA.rtf", dist + L"\\EULA.rtf") && MakeFolder(patch) &&
          WriteTextFile(patch + L"\\readme-patch.txt", "Karveth patch 1.1\r\n") &&
          MakeFolder(patch + L"\\Binaries") &&
          WriteTextFile(patch + L"\\Binaries\\Karveth.dll", "new binary") &&
          MakeFolder(patch + L"\\KVGame") && MakeFolder(patch + L"\\KVGame\\Content") &&
          WriteTextFile(patch + L"\\KVGame\\Content\\new.pak", "new content")))
    {
        return false;
    }
    DistFolder = folder;
    return true;
}

bool FUpdateScenario::UseReadyFolder(const std::wstring& folder)
{
    if (!PathExists(folder + L"\\Update.exe"))
    {
        return false;
    }
    DistFolder = folder;
    return true;
}

std::wstring FUpdateScenario::MakeGameFolder(const std::wstring& name, bool withMarkers)
{
    const std::wstring game = RootFolder + L"\\" + name;
    MakeFolder(game);
    if (withMarkers)
    {
        MakeFolder(game + L"\\Binaries");
        MakeFolder(game + L"\\Engine");
        MakeFolder(game + L"\\KVGame");
        WriteTextFile(game + L"\\Binaries\\Karveth.dll", "old binary");
    }
    return game;
}

bool FUpdateScenario::SetInstallKey(std::size_t index, const std::wstring& folder)
{
    return index < InstallKeyCount && CreateInstallKey(InstallKeyPaths[index]) &&
           StoreString(InstallKeyPaths[index], folder);
}

std::wstring FUpdateScenario::PatchedGameTree()
{
    return L"Binaries\\ Binaries\\Karveth.dll Engine\\ KVGame\\ KVGame\\Content\\ KVGame\\Content\\new.pak "
           L"readme-patch.txt";
}

std::wstring FUpdateScenario::UnpatchedGameTree()
{
    return L"Binaries\\ Binaries\\Karveth.dll Engine\\ KVGame\\";
}

std::wstring FUpdateScenario::PatchTree()
{
    return L"Binaries\\ Binaries\\Karveth.dll KVGame\\ KVGame\\Content\\ KVGame\\Content\\new.pak "
           L"readme-patch.txt";
}

FScenarioOutcome FUpdateScenario::Run(const std::vector<FAnswer>& answers, const FScenarioOptions& options)
{
    FScenarioOutcome outcome;
    FRelayLimit relayLimit;

    const std::wstring tracePath = RootFolder + L"\\messagebox-trace.txt";
    const std::wstring program =
        DistFolder + L"\\" +
        (options.ProgramName.empty() ? std::wstring(L"Update.exe") : options.ProgramName);
    DWORD processId = 0;
    HANDLE process = nullptr;
    const std::wstring workingFolder = options.WorkingFolder.empty() ? DistFolder : options.WorkingFolder;
    outcome.Started = StartThroughShell(program, workingFolder, tracePath, options.ExtraDllOverrides) &&
                      (process = FindProgramProcess(program, processId)) != nullptr;
    if (!outcome.Started)
    {
        return outcome;
    }

    std::size_t next = 0;
    while (HWND window = NextWindow(process, processId))
    {
        Sleep(SettleMs);
        if (outcome.Windows.empty())
        {
            outcome.Libraries = LoadedLibraries(processId);
        }
        const FWindowInfo info = DescribeWindow(window);
        outcome.Details.push_back(info);
        outcome.Windows.push_back(Describe(info));
        if (!options.ScreenshotFolder.empty())
        {
            const std::string shot = options.ScreenshotFolder + "/" + ShotName(outcome.Windows.size(), info);
            if (SaveScreenshot(window, shot))
            {
                outcome.Screenshots.push_back(shot);
            }
        }
        if (next < answers.size())
        {
            if (!Answer(window, answers[next++]))
            {
                outcome.Windows.push_back(L"(the scripted answer could not be given)");
                Dismiss(window);
            }
        }
        else
        {
            Dismiss(window);
        }
        if (!WaitUntilClosed(window, CloseWaitMs))
        {
            outcome.Windows.push_back(L"(the window did not close)");
            break;
        }
    }

    outcome.Finished = WaitForSingleObject(process, ExitWaitMs) == WAIT_OBJECT_0;
    if (!outcome.Finished)
    {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, ExitWaitMs);
    }
    GetExitCodeProcess(process, &outcome.ExitCode);
    CloseHandle(process);
    // The shell has the trace file open until Wine's launcher ends, shortly after the program.
    Sleep(SettleMs);

    std::string traceText;
    ReadTextFile(tracePath, traceText);
    outcome.MessageBoxCalls = ParseMessageBoxCalls(traceText);
    return outcome;
}
