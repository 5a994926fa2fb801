// The folder picker shown in this process while a second thread acts as the user. Its folders live on
// drive T:, a quiet folder of their own, since the picker loses a selection whose folder changes.

#include "InstallLocation.h"
#include "TestFolders.h"
#include "UiDriver.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

namespace
{
constexpr DWORD PickerWaitMs = 20000;

struct FPickerRun
{
    bool Result = false;
    bool Found = false;
    FWindowInfo Seen;
    std::wstring Path;
};

FPickerRun RunPicker(const std::function<void(HWND)>& act)
{
    FPickerRun run;
    std::thread user(
        [&run, &act]()
        {
            HWND picker = WaitForDialog(GetCurrentProcessId(), PickerWaitMs);
            if (picker == nullptr)
            {
                return;
            }
            run.Found = true;
            run.Seen = DescribeWindow(picker);
            act(picker);
            if (!WaitUntilClosed(picker, PickerWaitMs))
            {
                ClickButton(picker, IDCANCEL);
            }
        });
    wchar_t path[PathBufferSize] = {};
    run.Result = BrowseForInstallDirectory(path);
    run.Path = path;
    user.join();
    return run;
}

class FolderPickerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(IsFolder(L"T:\\")) << "drive T: of the Wine prefix is missing (scripts/wine-env.sh)";
        CoInitialize(nullptr);
    }
    void TearDown() override { CoUninitialize(); }
};

bool HasButton(const FWindowInfo& info, const std::wstring& text)
{
    return std::any_of(info.Buttons.begin(), info.Buttons.end(),
                       [&text](const FButtonInfo& button) { return button.Text == text; });
}

TEST_F(FolderPickerTest, CancelledPickerReturnsFalse)
{
    const FPickerRun run = RunPicker([](HWND picker) { ClickButton(picker, IDCANCEL); });

    ASSERT_TRUE(run.Found);
    EXPECT_FALSE(run.Result);
    EXPECT_EQ(run.Seen.Owner, nullptr);
    ASSERT_FALSE(run.Seen.Texts.empty());
    EXPECT_EQ(run.Seen.Texts.front(), L"Please browse to where KVT is installed");
    // Edit box, no new-folder button.
    EXPECT_FALSE(HasButton(run.Seen, L"Make New Folder"));
    EXPECT_TRUE(HasButton(run.Seen, L"OK"));
    EXPECT_TRUE(HasButton(run.Seen, L"Cancel"));
}

TEST_F(FolderPickerTest, ChosenFolderIsReturned)
{
    const std::wstring game = MakeFreshFolder(L"T:\\pick", L"h2-game");

    const FPickerRun run = RunPicker([&game](HWND picker) { ChooseFolderInPicker(picker, game); });

    ASSERT_TRUE(run.Found);
    EXPECT_TRUE(run.Result);
    EXPECT_EQ(run.Path, game);
    RemoveTree(game);
}
} // namespace
