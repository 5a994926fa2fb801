// Update.exe from end to end under Wine, driven like a user: each scenario prepares the program's folder,
// the game folders and the uninstall keys, answers every window, and checks what the user saw, how the
// message boxes were called, the game folders afterwards and the emptied Patch folder.

#include "InstallLocation.h"
#include "ManifestContext.h"
#include "TestFolders.h"
#include "UpdateScenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

namespace
{
constexpr unsigned long OkFlags = MB_OK | MB_TOPMOST;
constexpr unsigned long YesNoFlags = MB_YESNO | MB_TOPMOST;

// How each message box must have been called: no owner, the caption, the topmost flag.
std::vector<std::wstring> ExpectedCalls(const std::vector<std::wstring>& windows)
{
    std::vector<std::wstring> calls;
    for (const std::wstring& window : windows)
    {
        if (window.rfind(L"Patch KVT: ", 0) == 0)
        {
            const bool question =
                window.size() > 9 && window.compare(window.size() - 9, 9, L" [Yes|No]") == 0;
            calls.push_back(L"owner 0, \"Patch KVT\", flags " +
                            std::to_wstring(question ? YesNoFlags : OkFlags));
        }
    }
    return calls;
}

std::vector<std::wstring> ActualCalls(const FScenarioOutcome& outcome)
{
    std::vector<std::wstring> calls(outcome.MessageBoxCalls.size());
    std::transform(outcome.MessageBoxCalls.begin(), outcome.MessageBoxCalls.end(), calls.begin(),
                   [](const FMessageBoxCall& call)
                   {
                       return L"owner " + std::to_wstring(call.Owner) + L", \"" + call.Caption +
                              L"\", flags " + std::to_wstring(call.Flags);
                   });
    return calls;
}

// A path that file functions take whole, however deep.
std::wstring LongPath(const std::wstring& path)
{
    return L"\\\\?\\" + path;
}

std::string GameBinary(const std::wstring& game)
{
    std::string content;
    ReadTextFile(game + L"\\Binaries\\Karveth.dll", content);
    return content;
}

// Waits until the file shows, for at most a few seconds.
bool AppearsSoon(const std::wstring& path)
{
    for (int i = 0; i < 100 && !PathExists(path); ++i)
    {
        Sleep(100);
    }
    return PathExists(path);
}

std::wstring LowerCase(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
    return text;
}

class UpdateScenarioTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(IsFolder(L"T:\\")) << "drive T: of the Wine prefix is missing (scripts/wine-env.sh)";
        ASSERT_TRUE(Scenario.Ready()) << "could not prepare the program's folder";
    }

    // Runs the program and checks what every run must end with, whatever the user did.
    FScenarioOutcome RunAndExpect(const std::vector<FAnswer>& answers,
                                  const std::vector<std::wstring>& windows,
                                  const FScenarioOptions& options = {})
    {
        FScenarioOutcome outcome = Scenario.Run(answers, options);
        EXPECT_TRUE(outcome.Started);
        EXPECT_EQ(outcome.Windows, windows);
        EXPECT_EQ(ActualCalls(outcome), ExpectedCalls(windows));
        EXPECT_TRUE(outcome.Finished);
        EXPECT_EQ(outcome.ExitCode, 0u);
        const std::wstring patch = LongPath(Scenario.PatchFolder());
        EXPECT_TRUE(IsFolder(patch)) << "the Patch folder itself stays";
        EXPECT_EQ(ListTree(patch), L"") << "the Patch folder is emptied";
        return outcome;
    }

    void ExpectPatched(const std::wstring& game)
    {
        EXPECT_EQ(ListTree(game), FUpdateScenario::PatchedGameTree());
        EXPECT_EQ(GameBinary(game), "new binary");
    }

    void ExpectUntouched(const std::wstring& game)
    {
        EXPECT_EQ(ListTree(game), FUpdateScenario::UnpatchedGameTree());
        EXPECT_EQ(GameBinary(game), "old binary");
    }

    FUpdateScenario Scenario{L"h2-scenario"};
};

TEST_F(UpdateScenarioTest, DecliningTheLicenceOnlyReportsAndStillDeletesThePatch)
{
    const std::wstring game = Scenario.MakeGameFolder(L"Game");
    ASSERT_TRUE(Scenario.SetInstallKey(0, game));

    const FScenarioOutcome outcome =
        RunAndExpect({{EAnswer::Decline}, {EAnswer::Ok}}, {LicenceWindow(), MessageWindow(NotAppliedText)});

    ASSERT_FALSE(outcome.Details.empty());
    EXPECT_NE(outcome.Details[0].EditText.find(L"KARVETH END USER LICENSE AGREEMENT"), std::wstring::npos);
    ExpectUntouched(game);
}

// Its manifest's dependency makes the program take the Common Controls from the side-by-side assembly
// of version 6, before its first window shows.
TEST_F(UpdateScenarioTest, TheLicenceShowsWithTheCommonControls6Loaded)
{
    std::wstring identity;
    std::wstring folder;
    const FManifestContext manifest(Scenario.Dist() + L"\\Update.exe");
    ASSERT_TRUE(manifest.Dependency(L"Microsoft.Windows.Common-Controls", identity, folder));
    ASSERT_NE(identity.find(L"version=\"6."), std::wstring::npos) << ::testing::PrintToString(identity);
    const std::wstring library = LowerCase(L"\\" + folder + L"\\comctl32.dll");

    const FScenarioOutcome outcome =
        RunAndExpect({{EAnswer::Decline}, {EAnswer::Ok}}, {LicenceWindow(), MessageWindow(NotAppliedText)});

    const bool loaded = std::any_of(outcome.Libraries.begin(), outcome.Libraries.end(),
                                    [&library](const std::wstring& file)
                                    { return LowerCase(file).find(library) != std::wstring::npos; });
    EXPECT_TRUE(loaded) << "loaded: " << ::testing::PrintToString(outcome.Libraries);
}

TEST_F(UpdateScenarioTest, AcceptedGameFolderIsPatchedWithSubfoldersAndReplacedFiles)
{
    const std::wstring game = Scenario.MakeGameFolder(L"Game");
    ASSERT_TRUE(Scenario.SetInstallKey(1, game));

    RunAndExpect({{EAnswer::Accept}, {EAnswer::Yes}, {EAnswer::Ok}},
                 {LicenceWindow(), QuestionWindow(ConfirmText(game)), MessageWindow(PatchedText)});

    ExpectPatched(game);
}

TEST_F(UpdateScenarioTest, FolderWithoutTheGameThenCancelledPicker)
{
    const std::wstring notGame = Scenario.MakeGameFolder(L"Elsewhere", false);
    ASSERT_TRUE(Scenario.SetInstallKey(2, notGame));

    RunAndExpect({{EAnswer::Accept}, {EAnswer::Ok}, {EAnswer::Ok}, {EAnswer::CancelPicker}, {EAnswer::Ok}},
                 {LicenceWindow(), MessageWindow(NotInstalledText(notGame)), MessageWindow(FailedText),
                  PickerWindow(), MessageWindow(NotAppliedText)});

    EXPECT_EQ(ListTree(notGame), L"");
}

TEST_F(UpdateScenarioTest, TwoKeysNamingTheSameFolderAskTwice)
{
    const std::wstring game = Scenario.MakeGameFolder(L"Game");
    ASSERT_TRUE(Scenario.SetInstallKey(0, game));
    ASSERT_TRUE(Scenario.SetInstallKey(1, game));

    RunAndExpect({{EAnswer::Accept}, {EAnswer::Yes}, {EAnswer::Yes}, {EAnswer::Ok}},
                 {LicenceWindow(), QuestionWindow(ConfirmText(game)), QuestionWindow(ConfirmText(game)),
                  MessageWindow(PatchedText)});

    ExpectPatched(game);
}

TEST_F(UpdateScenarioTest, NoToEveryOfferInKeyOrderThenThePicker)
{
    // Keys set out of table order: the offers still come in table order.
    const std::wstring last = Scenario.MakeGameFolder(L"GameC");
    const std::wstring first = Scenario.MakeGameFolder(L"GameA");
    const std::wstring middle = Scenario.MakeGameFolder(L"GameB");
    ASSERT_TRUE(Scenario.SetInstallKey(9, last));
    ASSERT_TRUE(Scenario.SetInstallKey(1, first));
    ASSERT_TRUE(Scenario.SetInstallKey(4, middle));

    RunAndExpect({{EAnswer::Accept},
                  {EAnswer::No},
                  {EAnswer::Ok},
                  {EAnswer::No},
                  {EAnswer::Ok},
                  {EAnswer::No},
                  {EAnswer::Ok},
                  {EAnswer::CancelPicker},
                  {EAnswer::Ok}},
                 {LicenceWindow(), QuestionWindow(ConfirmText(first)), MessageWindow(FailedText),
                  QuestionWindow(ConfirmText(middle)), MessageWindow(FailedText),
                  QuestionWindow(ConfirmText(last)), MessageWindow(FailedText), PickerWindow(),
                  MessageWindow(NotAppliedText)});

    for (const std::wstring& game : {first, middle, last})
    {
        ExpectUntouched(game);
    }
}

TEST_F(UpdateScenarioTest, FailingKeyThenSucceedingKeyNeedsNoPicker)
{
    const std::wstring missing = Scenario.Root() + L"\\Uninstalled";
    const std::wstring game = Scenario.MakeGameFolder(L"Game");
    ASSERT_TRUE(Scenario.SetInstallKey(3, missing));
    ASSERT_TRUE(Scenario.SetInstallKey(6, game));

    RunAndExpect({{EAnswer::Accept}, {EAnswer::Ok}, {EAnswer::Ok}, {EAnswer::Yes}, {EAnswer::Ok}},
                 {LicenceWindow(), MessageWindow(NotInstalledText(missing)), MessageWindow(FailedText),
                  QuestionWindow(ConfirmText(game)), MessageWindow(PatchedText)});

    ExpectPatched(game);
}

TEST_F(UpdateScenarioTest, SuccessThenAFailingKeyStillEndsPatched)
{
    const std::wstring game = Scenario.MakeGameFolder(L"Game");
    const std::wstring other = Scenario.MakeGameFolder(L"OtherCopy");
    ASSERT_TRUE(Scenario.SetInstallKey(0, game));
    ASSERT_TRUE(Scenario.SetInstallKey(8, other));

    RunAndExpect({{EAnswer::Accept}, {EAnswer::Yes}, {EAnswer::No}, {EAnswer::Ok}, {EAnswer::Ok}},
                 {LicenceWindow(), QuestionWindow(ConfirmText(game)), QuestionWindow(ConfirmText(other)),
                  MessageWindow(FailedText), MessageWindow(PatchedText)});

    ExpectPatched(game);
    ExpectUntouched(other);
}

TEST_F(UpdateScenarioTest, WithoutAnyKeyThePickerComesFirst)
{
    const std::wstring game = Scenario.MakeGameFolder(L"Game");

    RunAndExpect({{EAnswer::Accept}, {EAnswer::CancelPicker}, {EAnswer::Ok}},
                 {LicenceWindow(), PickerWindow(), MessageWindow(NotAppliedText)});

    ExpectUntouched(game);
}

TEST_F(UpdateScenarioTest, FolderChosenInThePickerIsPatched)
{
    const std::wstring game = Scenario.MakeGameFolder(L"Picked");

    RunAndExpect(
        {{EAnswer::Accept}, {EAnswer::ChooseInPicker, game}, {EAnswer::Yes}, {EAnswer::Ok}},
        {LicenceWindow(), PickerWindow(), QuestionWindow(ConfirmText(game)), MessageWindow(PatchedText)});

    ExpectPatched(game);
}

TEST_F(UpdateScenarioTest, PickedFolderWithoutTheGameFails)
{
    const std::wstring notGame = Scenario.MakeGameFolder(L"Documents", false);

    RunAndExpect(
        {{EAnswer::Accept}, {EAnswer::ChooseInPicker, notGame}, {EAnswer::Ok}, {EAnswer::Ok}, {EAnswer::Ok}},
        {LicenceWindow(), PickerWindow(), MessageWindow(NotInstalledText(notGame)), MessageWindow(FailedText),
         MessageWindow(NotAppliedText)});
}

TEST_F(UpdateScenarioTest, MessagesComeOutWholeForTheLongestPaths)
{
    // The longest game folder whose marker paths still fit, and the longest value a key may hold.
    std::wstring game = Scenario.Root() + L"\\";
    game += std::wstring(PathBufferSize - 1 - 9 - game.size(), L'g');
    ASSERT_EQ(Scenario.MakeGameFolder(game.substr(Scenario.Root().size() + 1)), game);
    ASSERT_TRUE(IsFolder(game + L"\\Binaries"));
    std::wstring nowhere = Scenario.Root() + L"\\";
    nowhere += std::wstring(PathBufferSize - 1 - nowhere.size(), L'n');
    ASSERT_TRUE(Scenario.SetInstallKey(0, game));
    ASSERT_TRUE(Scenario.SetInstallKey(1, nowhere));

    // No copy: the patch's own files would lie deeper than the path limit in such a folder.
    RunAndExpect({{EAnswer::Accept},
                  {EAnswer::No},
                  {EAnswer::Ok},
                  {EAnswer::Ok},
                  {EAnswer::Ok},
                  {EAnswer::CancelPicker},
                  {EAnswer::Ok}},
                 {LicenceWindow(), QuestionWindow(ConfirmText(game)), MessageWindow(FailedText),
                  MessageWindow(NotInstalledText(nowhere)), MessageWindow(FailedText), PickerWindow(),
                  MessageWindow(NotAppliedText)});
}
// With native DLLs preferred, Wine searches a program's own folder first for a bare DLL name, as
// Windows does. The probe shows that the planted DLL is picked up that way; Update must not pick it up.
TEST_F(UpdateScenarioTest, RichEditLibraryPlantedBesideTheProgramIsIgnored)
{
    const std::wstring planted = ProgramFolder() + L"\\..\\planted\\";
    const std::wstring marker = Scenario.Dist() + L"\\planted-dll-was-loaded.txt";
    ASSERT_TRUE(
        CopyFileW((planted + L"RICHED20.dll").c_str(), (Scenario.Dist() + L"\\RICHED20.DLL").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((planted + L"bare_name_load_probe.exe").c_str(),
                          (Scenario.Dist() + L"\\bare_name_load_probe.exe").c_str(), FALSE));
    const wchar_t* const nativeFirst = L"riched20=n,b";

    ASSERT_TRUE(StartThroughShell(Scenario.Dist() + L"\\bare_name_load_probe.exe", Scenario.Dist(),
                                  Scenario.Root() + L"\\probe-trace.txt", nativeFirst));
    ASSERT_TRUE(AppearsSoon(marker)) << "the planted DLL was not found by a bare-name load";
    Sleep(1000); // the probe ends right after loading it
    ASSERT_TRUE(DeleteFileW(marker.c_str()));

    FScenarioOptions options;
    options.ExtraDllOverrides = nativeFirst;
    const FScenarioOutcome outcome = RunAndExpect({{EAnswer::Decline}, {EAnswer::Ok}},
                                                  {LicenceWindow(), MessageWindow(NotAppliedText)}, options);

    EXPECT_FALSE(PathExists(marker)) << "Update loaded the planted DLL";
    ASSERT_FALSE(outcome.Details.empty());
    EXPECT_NE(outcome.Details[0].EditText.find(L"KARVETH END USER LICENSE AGREEMENT"), std::wstring::npos);
}
// Libraries that Windows loads on demand by their bare names, planted beside the program. With native
// DLLs preferred, Wine looks in the program's own folder first for such a name, as Windows does. The
// plant leaves a marker and refuses the load, so that Wine falls back to its own library: only the
// marker tells whether the plant was loaded.
struct FPlantCase
{
    const char* Name;
    const wchar_t* Library;
    const wchar_t* Override;
};

void PrintTo(const FPlantCase& c, std::ostream* out)
{
    *out << c.Name << " " << ::testing::PrintToString(std::wstring(c.Library)) << " with "
         << ::testing::PrintToString(std::wstring(c.Override));
}

class PlantedLibraryTest : public UpdateScenarioTest, public ::testing::WithParamInterface<FPlantCase>
{
};

// Update's twin with the classic search order shows that the run would load the plant; Update never does.
TEST_P(PlantedLibraryTest, LibraryPlantedBesideTheProgramIsNeverLoaded)
{
    const std::wstring library = GetParam().Library;
    const std::wstring planted = ProgramFolder() + L"\\..\\planted\\";
    const std::wstring marker = Scenario.Dist() + L"\\" + library + L"-was-loaded.txt";
    const wchar_t* const twin = L"UpdateWithClassicSearch.exe";
    ASSERT_TRUE(CopyFileW((planted + library).c_str(), (Scenario.Dist() + L"\\" + library).c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((planted + L"update_classic_search.exe").c_str(),
                          (Scenario.Dist() + L"\\" + twin).c_str(), FALSE));
    FScenarioOptions options;
    options.ExtraDllOverrides = GetParam().Override;

    options.ProgramName = twin;
    const FScenarioOutcome probe = Scenario.Run({{EAnswer::Decline}, {EAnswer::Ok}}, options);
    ASSERT_TRUE(probe.Started);
    EXPECT_TRUE(probe.Finished);
    ASSERT_TRUE(AppearsSoon(marker)) << "with the classic search order the plant is not loaded either";
    ASSERT_TRUE(DeleteFileW(marker.c_str()));

    options.ProgramName.clear();
    const FScenarioOutcome outcome = RunAndExpect({{EAnswer::Decline}, {EAnswer::Ok}},
                                                  {LicenceWindow(), MessageWindow(NotAppliedText)}, options);

    EXPECT_FALSE(PathExists(marker)) << "Update loaded the planted " << ::testing::PrintToString(library);
    ASSERT_FALSE(outcome.Details.empty());
    EXPECT_NE(outcome.Details[0].EditText.find(L"KARVETH END USER LICENSE AGREEMENT"), std::wstring::npos);
}

INSTANTIATE_TEST_SUITE_P(OnDemand, PlantedLibraryTest,
                         ::testing::Values(
                             // Loaded by the user-interface library when the first window is made.
                             FPlantCase{"ThemeLibrary", L"uxtheme.dll", L"uxtheme=n,b"},
                             // Imported by the rich-edit library, which Update itself loads by its full path.
                             FPlantCase{"RichEditDependency", L"usp10.dll", L"usp10=n,b"}),
                         [](const ::testing::TestParamInfo<FPlantCase>& info) { return info.param.Name; });

// Cut at the classic path limit, this program's path would end inside its folder's name, and cutting
// that after its last backslash would name the folder above, which holds someone else's Patch folder.
// The shell cannot copy from or delete in a folder that deep (Wine's reports success all the same), so
// what is checked is that nothing of the other Patch folder is touched.
TEST_F(UpdateScenarioTest, ProgramDeeperThanThePathLimitNeverTouchesAnotherPatchFolder)
{
    const std::wstring above = Scenario.Root() + L"\\" + std::wstring(100, L'a');
    const std::wstring dist = above + L"\\" + std::wstring(200, L'b');
    ASSERT_LT(above.size() + 1, PathBufferSize - 1);
    ASSERT_GT(dist.size(), PathBufferSize);
    ASSERT_TRUE(MakeFolder(LongPath(above)));
    ASSERT_TRUE(MakeFolder(LongPath(above + L"\\Patch")));
    ASSERT_TRUE(WriteTextFile(LongPath(above + L"\\Patch\\strangers-file.txt"), "not ours"));
    ASSERT_TRUE(Scenario.UseDistFolder(dist));
    // Started from a short folder: Wine cannot start a program from a folder that deep.
    ASSERT_TRUE(
        CopyFileW(LongPath(dist + L"\\EULA.rtf").c_str(), (Scenario.Root() + L"\\EULA.rtf").c_str(), FALSE));
    const std::wstring game = Scenario.MakeGameFolder(L"Game");
    ASSERT_TRUE(Scenario.SetInstallKey(0, game));

    FScenarioOptions options;
    options.WorkingFolder = Scenario.Root();
    const FScenarioOutcome outcome =
        Scenario.Run({{EAnswer::Accept}, {EAnswer::Yes}, {EAnswer::Ok}}, options);

    ASSERT_GE(outcome.Windows.size(), 2u);
    EXPECT_EQ(outcome.Windows[0], LicenceWindow());
    EXPECT_EQ(outcome.Windows[1], QuestionWindow(ConfirmText(game)));
    EXPECT_TRUE(outcome.Finished);
    EXPECT_EQ(outcome.ExitCode, 0u);
    EXPECT_EQ(ListTree(LongPath(above + L"\\Patch")), L"strangers-file.txt");
    EXPECT_FALSE(PathExists(game + L"\\strangers-file.txt"));
}
} // namespace
