// The Update demo: runs the real Update.exe against a sample game folder and Patch folder, answers its
// windows like a user, saves a screenshot of each window and tells what happened.
//   update_demo.exe <Linux folder for the screenshots>

#include "TestFolders.h"
#include "UpdateScenario.h"

#include <cstdio>
#include <string>
#include <vector>

namespace
{
std::string Utf8(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? size - 1 : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &utf8[0], size, nullptr, nullptr);
    // Message texts hold line breaks; keep each window on one line.
    std::string oneLine;
    for (char c : utf8)
    {
        oneLine += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return oneLine;
}

const char* AnswerName(EAnswer answer)
{
    switch (answer)
    {
    case EAnswer::Accept:
        return "Accept";
    case EAnswer::Decline:
        return "Decline";
    case EAnswer::Yes:
        return "Yes";
    case EAnswer::No:
        return "No";
    case EAnswer::Ok:
        return "OK";
    case EAnswer::CancelPicker:
        return "Cancel";
    case EAnswer::ChooseInPicker:
        return "choose the game folder, OK";
    }
    return "?";
}

std::string Listing(const std::wstring& folder)
{
    const std::wstring tree = ListTree(folder);
    return tree.empty() ? std::string("(empty)") : Utf8(tree);
}

// Runs the program once and reports each window, the answer given and the folders afterwards.
bool RunAndReport(FUpdateScenario& scenario, const std::vector<FAnswer>& answers, const std::string& shots,
                  const std::vector<std::wstring>& games)
{
    CreateDirectoryA(("Z:" + shots).c_str(), nullptr);
    FScenarioOptions options;
    options.ScreenshotFolder = shots;
    const FScenarioOutcome outcome = scenario.Run(answers, options);
    if (!outcome.Started)
    {
        std::printf("  Update.exe could not be started\n");
        return false;
    }
    for (std::size_t i = 0; i < outcome.Windows.size(); ++i)
    {
        std::printf("  window %u: %s\n", static_cast<unsigned>(i + 1), Utf8(outcome.Windows[i]).c_str());
        if (i < answers.size() && i < outcome.Details.size())
        {
            std::printf("            answered: %s\n", AnswerName(answers[i].Answer));
        }
        if (i < outcome.Screenshots.size())
        {
            std::printf("            screenshot: %s\n", outcome.Screenshots[i].c_str());
        }
    }
    for (const FMessageBoxCall& call : outcome.MessageBoxCalls)
    {
        std::printf("  MessageBoxW(owner %llu, caption \"%s\", flags 0x%05lX)\n", call.Owner,
                    Utf8(call.Caption).c_str(), call.Flags);
    }
    std::printf("  Update.exe %s with exit code %lu\n", outcome.Finished ? "ended" : "did not end",
                static_cast<unsigned long>(outcome.ExitCode));
    for (const std::wstring& game : games)
    {
        std::printf("  %s now holds: %s\n", Utf8(game).c_str(), Listing(game).c_str());
    }
    std::printf("  Patch folder now holds: %s\n", Listing(scenario.PatchFolder()).c_str());
    return outcome.Finished && outcome.ExitCode == 0;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: update_demo.exe <Linux folder for the screenshots>\n");
        return 2;
    }
    const std::string shots = argv[1];
    bool ok = true;

    {
        FUpdateScenario scenario(L"update-demo-keys");
        if (!scenario.Ready())
        {
            std::fprintf(stderr, "could not prepare the demo folder under T:\\\n");
            return 1;
        }
        const std::wstring old = scenario.MakeGameFolder(L"OldInstall", false);
        const std::wstring game = scenario.MakeGameFolder(L"Karveth");
        scenario.SetInstallKey(0, old);
        scenario.SetInstallKey(1, game);
        std::printf("Run 1: Update.exe in %s\n", Utf8(scenario.Dist()).c_str());
        std::printf("  Patch folder holds: %s\n", Listing(scenario.PatchFolder()).c_str());
        std::printf("  uninstall key 1 names %s (no game there)\n", Utf8(old).c_str());
        std::printf("  uninstall key 2 names %s, holding: %s\n", Utf8(game).c_str(), Listing(game).c_str());
        ok = RunAndReport(scenario,
                          {{EAnswer::Accept}, {EAnswer::Ok}, {EAnswer::Ok}, {EAnswer::Yes}, {EAnswer::Ok}},
                          shots + "/run1-keys", {old, game}) &&
             ok;
    }
    {
        FUpdateScenario scenario(L"update-demo-picker");
        if (!scenario.Ready())
        {
            std::fprintf(stderr, "could not prepare the demo folder under T:\\\n");
            return 1;
        }
        const std::wstring game = scenario.MakeGameFolder(L"Karveth");
        std::printf("\nRun 2: no uninstall key; the game is at %s, holding: %s\n", Utf8(game).c_str(),
                    Listing(game).c_str());
        ok = RunAndReport(scenario,
                          {{EAnswer::Accept}, {EAnswer::ChooseInPicker, game}, {EAnswer::Yes}, {EAnswer::Ok}},
                          shots + "/run2-picker", {game}) &&
             ok;
    }
    std::printf("\nThe demo folders under T:\\update-scenarios and the uninstall keys were removed again.\n");
    return ok ? 0 : 1;
}
