#pragma once

// Runs the real Update.exe like a user would: prepares a fresh folder with a copy of the program, its
// licence and a Patch folder, sets the uninstall keys, answers every window the program shows and
// records what it saw.

#include "UiDriver.h"

#include <windows.h>

#include <string>
#include <vector>

enum class EAnswer
{
    Accept,
    Decline,
    Yes,
    No,
    Ok,
    CancelPicker,
    ChooseInPicker,
};

struct FAnswer
{
    EAnswer Answer;
    std::wstring Folder = std::wstring(); // for ChooseInPicker
};

// One MessageBoxW call as the program made it, from Wine's trace of the call.
struct FMessageBoxCall
{
    unsigned long long Owner = 0;
    std::wstring Caption;
    unsigned long Flags = 0;
};

struct FScenarioOutcome
{
    std::vector<std::wstring> Windows; // one line per window, in the order they showed
    std::vector<FWindowInfo> Details;
    std::vector<FMessageBoxCall> MessageBoxCalls;
    std::vector<std::string> Screenshots; // Linux paths, one per window when asked for
    std::vector<std::wstring> Libraries;  // files loaded in the program when its first window showed
    bool Started = false;
    bool Finished = false;
    DWORD ExitCode = STILL_ACTIVE;
};

struct FScenarioOptions
{
    std::wstring ExtraDllOverrides; // added to WINEDLLOVERRIDES for the program
    std::string ScreenshotFolder;   // Linux folder for a PNG of each window; empty for none
    std::wstring WorkingFolder;     // the program's current directory; empty for its own folder
    std::wstring ProgramName;       // the file in the program's folder to run; empty for Update.exe
};

// The one-line descriptions the scenario records.
std::wstring LicenceWindow();
std::wstring PickerWindow();
std::wstring MessageWindow(const std::wstring& text);
std::wstring QuestionWindow(const std::wstring& text);
std::wstring ConfirmText(const std::wstring& folder);
std::wstring NotInstalledText(const std::wstring& folder);
extern const wchar_t* const FailedText;
extern const wchar_t* const PatchedText;
extern const wchar_t* const NotAppliedText;

// Starts a program with Wine's own launcher through a Linux shell, in the given folder, with Wine's
// trace of MessageBoxW calls going to traceFile and extra DLL overrides; does not wait for it.
bool StartThroughShell(const std::wstring& program, const std::wstring& workingFolder,
                       const std::wstring& traceFile, const std::wstring& extraDllOverrides);

class FUpdateScenario
{
public:
    // A fresh folder T:\<tag>-<process id> holding dist\ (Update.exe, EULA.rtf, Patch\) and room for
    // game folders. The ten uninstall keys start empty.
    explicit FUpdateScenario(const std::wstring& tag);
    ~FUpdateScenario();
    FUpdateScenario(const FUpdateScenario&) = delete;
    FUpdateScenario& operator=(const FUpdateScenario&) = delete;

    bool Ready() const { return IsReady; }
    const std::wstring& Root() const { return RootFolder; }
    const std::wstring& Dist() const { return DistFolder; }
    std::wstring PatchFolder() const { return DistFolder + L"\\Patch"; }

    // Prepares another program folder (it may lie deeper than the classic path limit) and runs the
    // program from there from now on.
    bool UseDistFolder(const std::wstring& folder);

    // Runs the Update.exe already in that folder, with the licence and Patch folder found there, from
    // now on; the folder is left as it is, also afterwards.
    bool UseReadyFolder(const std::wstring& folder);

    // A folder under the scenario's root, with the three marker folders and an old game binary when
    // asked for; returns its path.
    std::wstring MakeGameFolder(const std::wstring& name, bool withMarkers = true);

    // Points uninstall key number index (0 to 9) at the folder.
    bool SetInstallKey(std::size_t index, const std::wstring& folder);

    FScenarioOutcome Run(const std::vector<FAnswer>& answers, const FScenarioOptions& options = {});

    // What a patched game folder holds after MakeGameFolder and one copy of the sample patch.
    static std::wstring PatchedGameTree();
    static std::wstring UnpatchedGameTree();
    static std::wstring PatchTree();

private:
    std::wstring RootFolder;
    std::wstring DistFolder;
    bool IsReady = false;
};
