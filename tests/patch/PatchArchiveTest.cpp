// The Update.exe of an unpacked patch archive, run from its folder like a player would: it must show the
// archive's licence, offer the installed game found through its uninstall key, and report success.
// The test that unpacked the archive then compares the game folder with the new build.
//   usage: patch_archive_tests.exe UNPACKED-FOLDER GAME-FOLDER   (Windows paths)

#include "UpdateScenario.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace
{
std::wstring UnpackedFolder;
std::wstring GameFolder;

// A text of the sample licence the script packs.
const wchar_t* const LicenceHeading = L"KARVETH END USER LICENSE AGREEMENT";

std::wstring Wide(const char* text)
{
    const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(length > 0 ? length - 1 : 0, L'\0');
    if (length > 1)
    {
        MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], length);
    }
    return wide;
}
} // namespace

TEST(PatchArchiveTest, UpdateFromTheUnpackedArchivePatchesTheInstalledGame)
{
    FUpdateScenario scenario{L"patch-archive"};
    ASSERT_TRUE(scenario.Ready());
    ASSERT_TRUE(scenario.UseReadyFolder(UnpackedFolder)) << "no Update.exe in the unpacked archive";
    ASSERT_TRUE(scenario.SetInstallKey(0, GameFolder));

    const FScenarioOutcome outcome = scenario.Run({{EAnswer::Accept}, {EAnswer::Yes}, {EAnswer::Ok}});

    EXPECT_TRUE(outcome.Started);
    EXPECT_EQ(outcome.Windows,
              (std::vector<std::wstring>{LicenceWindow(), QuestionWindow(ConfirmText(GameFolder)),
                                         MessageWindow(PatchedText)}));
    ASSERT_FALSE(outcome.Details.empty());
    EXPECT_NE(outcome.Details[0].EditText.find(LicenceHeading), std::wstring::npos)
        << "the licence shown is not the archive's EULA.rtf";
    EXPECT_TRUE(outcome.Finished);
    EXPECT_EQ(outcome.ExitCode, 0u);
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 3)
    {
        std::fprintf(stderr, "usage: patch_archive_tests.exe UNPACKED-FOLDER GAME-FOLDER\n");
        return 2;
    }
    UnpackedFolder = Wide(argv[1]);
    GameFolder = Wide(argv[2]);
    return RUN_ALL_TESTS();
}
