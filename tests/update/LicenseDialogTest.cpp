// The licence dialog run in this process from the same template and procedure as Update.exe, while a
// second thread acts as the user.

#include "LicenseDialog.h"
#include "ManifestContext.h"
#include "TestFolders.h"
#include "UiDriver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <functional>
#include <thread>
#include <vector>

namespace
{
// How soon the dialog shows depends on the machine: streaming half a megabyte of rich text into the
// view takes tens of seconds in the 32-bit lane's emulator on a busy machine, and a user who gives up
// early would leave the modal dialog open until the test's own time limit. That limit bounds the run.
constexpr DWORD DialogWaitMs = 90000;

const char* const SampleLicence = "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}\\f0\\fs20 "
                                  "{\\b KARVETH END USER LICENSE AGREEMENT}\\par "
                                  "You may install this patch on the computer that holds the game.\\par}";

enum class EUserAction
{
    Accept,
    Decline,
    Escape,
    CloseBox,
};

struct FDialogRun
{
    INT_PTR Result = 0;
    bool Found = false;
    FWindowInfo Seen;
};

// Runs the dialog with the current directory as the licence folder; the user looks, then acts.
FDialogRun RunDialogAs(EUserAction action)
{
    FDialogRun run;
    std::thread user(
        [&run, action]()
        {
            HWND dialog = WaitForDialog(GetCurrentProcessId(), DialogWaitMs);
            if (dialog == nullptr)
            {
                return;
            }
            run.Found = true;
            run.Seen = DescribeWindow(dialog);
            switch (action)
            {
            case EUserAction::Accept:
                ClickButton(dialog, IDOK);
                break;
            case EUserAction::Decline:
                ClickButton(dialog, IDCANCEL);
                break;
            case EUserAction::Escape:
                PressEscape(dialog);
                break;
            case EUserAction::CloseBox:
                PressCloseBox(dialog);
                break;
            }
        });
    run.Result = RunLicenseDialog(GetModuleHandleW(nullptr));
    user.join();
    return run;
}

std::wstring LowerCase(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
    return text;
}

class LicenseDialogTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { LoadRichEditLibrary(); }

    void SetUp() override
    {
        GetCurrentDirectoryW(MAX_PATH, PreviousDirectory);
        Folder = MakeFreshFolder(TempFolder(), L"h2-licence");
        ASSERT_TRUE(SetCurrentDirectoryW(Folder.c_str()));
    }

    void TearDown() override
    {
        SetCurrentDirectoryW(PreviousDirectory);
        RemoveTree(Folder);
    }

    wchar_t PreviousDirectory[MAX_PATH] = {};
    std::wstring Folder;
};

struct FActionCase
{
    const char* Name;
    EUserAction Action;
    INT_PTR Expected;
};

void PrintTo(const FActionCase& c, std::ostream* out)
{
    *out << c.Name << " (action " << static_cast<int>(c.Action) << ", result " << c.Expected << ")";
}

class LicenseDialogResultTest : public LicenseDialogTest, public ::testing::WithParamInterface<FActionCase>
{
};

TEST_P(LicenseDialogResultTest, ShowsTheLicenceAndReportsTheChoice)
{
    ASSERT_TRUE(WriteTextFile(Folder + L"\\EULA.rtf", SampleLicence));

    const FDialogRun run = RunDialogAs(GetParam().Action);

    ASSERT_TRUE(run.Found);
    EXPECT_EQ(run.Seen.Title, L"End User License Agreement");
    EXPECT_EQ(ButtonList(run.Seen), L"Accept|Decline");
    EXPECT_EQ(run.Seen.Owner, nullptr);
    EXPECT_NE(run.Seen.EditText.find(L"KARVETH END USER LICENSE AGREEMENT"), std::wstring::npos)
        << "view holds: " << ::testing::PrintToString(run.Seen.EditText);
    EXPECT_NE(run.Seen.EditText.find(L"You may install this patch on the computer that holds the game."),
              std::wstring::npos);
    EXPECT_EQ(run.Seen.EditText.find(L"\\rtf1"), std::wstring::npos) << "the file must be read as rich text";
    EXPECT_EQ(run.Seen.EditLimit, 0x80000);
    EXPECT_EQ(run.Result, GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(UserActions, LicenseDialogResultTest,
                         ::testing::Values(FActionCase{"Accept", EUserAction::Accept, 1},
                                           FActionCase{"Decline", EUserAction::Decline, 2},
                                           FActionCase{"Escape", EUserAction::Escape, 2},
                                           FActionCase{"CloseBox", EUserAction::CloseBox, 2}),
                         [](const ::testing::TestParamInfo<FActionCase>& info) { return info.param.Name; });

TEST_F(LicenseDialogTest, WithoutTheLicenceFileTheViewIsEmptyAndAcceptStillWorks)
{
    const FDialogRun run = RunDialogAs(EUserAction::Accept);

    ASSERT_TRUE(run.Found);
    EXPECT_EQ(run.Seen.EditText, L"");
    EXPECT_EQ(run.Result, 1);
}

// Windows' rich edit cuts rich text streamed in at the view's limit (checked above); Wine 8's raises the
// limit instead, so what can be seen here is a long licence shown from its start.
TEST_F(LicenseDialogTest, ALongLicenceIsShownFromItsStart)
{
    const std::size_t limit = static_cast<std::size_t>(LicenseTextLimit);
    std::string rtf = "{\\rtf1\\ansi FIRST LINE\\par\n";
    for (std::size_t shown = 0; shown < limit + 4096; shown += 64)
    {
        rtf += std::string(63, 'k') + "\\par\n";
    }
    ASSERT_TRUE(WriteTextFile(Folder + L"\\EULA.rtf", rtf + "}"));

    const FDialogRun run = RunDialogAs(EUserAction::Accept);

    ASSERT_TRUE(run.Found);
    EXPECT_GE(run.Seen.EditText.size(), limit);
    EXPECT_EQ(run.Seen.EditText.rfind(L"FIRST LINE\r\nkkk", 0), 0u);
    EXPECT_EQ(run.Result, 1);
}

// Update.exe's manifest asks for the Common Controls 6, whose buttons are drawn in the system's visual
// style; without it the same template gets the classic buttons of the user-interface library. (Wine's
// library reports version 5.81 whatever assembly it was loaded for, so the assembly tells the version.)
TEST_F(LicenseDialogTest, UnderUpdatesManifestTheButtonsAreThoseOfTheCommonControls6)
{
    std::wstring identity;
    std::wstring folder;
    FDialogRun withManifest;
    {
        FManifestContext manifest(ProgramFolder() + L"\\Update.exe");
        ASSERT_TRUE(manifest.Activate())
            << "Update.exe's manifest cannot be made active, error " << manifest.Error();
        manifest.Dependency(L"Microsoft.Windows.Common-Controls", identity, folder);
        withManifest = RunDialogAs(EUserAction::Accept);
    }
    const FDialogRun classic = RunDialogAs(EUserAction::Accept);

    EXPECT_NE(identity.find(L"version=\"6."), std::wstring::npos) << ::testing::PrintToString(identity);
    ASSERT_FALSE(folder.empty()) << "the Common Controls assembly was not resolved";
    const std::wstring library = L"\\" + LowerCase(folder) + L"\\comctl32.dll";
    ASSERT_TRUE(withManifest.Found);
    ASSERT_TRUE(classic.Found);
    ASSERT_EQ(ButtonList(withManifest.Seen), L"Accept|Decline");
    ASSERT_EQ(ButtonList(classic.Seen), L"Accept|Decline");
    for (const FButtonInfo& button : withManifest.Seen.Buttons)
    {
        EXPECT_NE(LowerCase(button.ProcedureModule).find(library), std::wstring::npos)
            << ::testing::PrintToString(button.Text + L" from " + button.ProcedureModule);
    }
    for (const FButtonInfo& button : classic.Seen.Buttons)
    {
        EXPECT_FALSE(button.ProcedureModule.empty());
        EXPECT_EQ(LowerCase(button.ProcedureModule).find(library), std::wstring::npos)
            << ::testing::PrintToString(button.Text + L" from " + button.ProcedureModule);
    }
    EXPECT_EQ(withManifest.Result, 1);
}
} // namespace
