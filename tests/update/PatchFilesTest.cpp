// The patch file handling in-process: the lists handed to the shell, the program's own path, and the
// decision on the shell's real results.

#include "InstallLocation.h"
#include "PatchFiles.h"
#include "TestFolders.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
TEST(PatchFilesTest, SourcePatternKeepsTheFolderAndItsBackslash)
{
    std::wstring pattern;
    ASSERT_TRUE(PatchSourcePatternFor(L"D:\\Dist\\Update.exe", pattern));
    EXPECT_EQ(pattern, L"D:\\Dist\\\\Patch\\*.*");

    EXPECT_FALSE(PatchSourcePatternFor(L"Update.exe", pattern)) << "no folder to take the patch from";
}

TEST(PatchFilesTest, ShellFileListsEndInTwoZeroUnitsWhateverTheLength)
{
    for (const std::size_t length : {std::size_t{1}, PathBufferSize - 1, PathBufferSize, std::size_t{5000}})
    {
        SCOPED_TRACE(length);
        const std::wstring path(length, L'p');
        const std::wstring list = ShellFileList(path);
        ASSERT_EQ(list.size(), length + 1);
        EXPECT_EQ(list.compare(0, length, path), 0);
        const wchar_t* units = list.c_str();
        EXPECT_EQ(units[length], L'\0');
        EXPECT_EQ(units[length + 1], L'\0');
    }
}

TEST(PatchFilesTest, ModulePathThatDoesNotFitWholeIsNotUsed)
{
    std::wstring whole;
    ASSERT_TRUE(ReadModulePath(nullptr, LongPathCapacity, whole));
    EXPECT_EQ(whole, ProgramFolder() + L"\\update_resource_tests.exe");

    for (const DWORD capacity : {static_cast<DWORD>(whole.size()), static_cast<DWORD>(whole.size() / 2), 1ul})
    {
        SCOPED_TRACE(capacity);
        std::wstring cut = L"unchanged";
        EXPECT_FALSE(ReadModulePath(nullptr, capacity, cut));
        EXPECT_EQ(cut, L"unchanged");
    }
    std::wstring exact;
    EXPECT_TRUE(ReadModulePath(nullptr, static_cast<DWORD>(whole.size() + 1), exact));
    EXPECT_EQ(exact, whole);

    // A module that is not loaded has no path at all.
    std::wstring none = L"unchanged";
    EXPECT_FALSE(
        ReadModulePath(reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x10)), LongPathCapacity, none));
    EXPECT_EQ(none, L"unchanged");
}

// Wine's shell never aborts a copy, so the decision is checked on its own: a cancelled or silently
// shortened copy returns 0 with the aborted flag set.
TEST(PatchFilesTest, OnlyACopyDoneWholeCountsAsSuccess)
{
    constexpr int CancelledByUser = ERROR_CANCELLED;
    constexpr int SourceMissing = 0x7C; // the shell's "invalid path" code
    struct FCase
    {
        int Result;
        BOOL Aborted;
        bool Succeeded;
    };
    const FCase cases[] = {
        {0, FALSE, true},
        {0, TRUE, false},
        {CancelledByUser, TRUE, false},
        {CancelledByUser, FALSE, false},
        {SourceMissing, FALSE, false},
    };
    for (const FCase& c : cases)
    {
        SCOPED_TRACE(::testing::Message() << "result " << c.Result << ", aborted " << c.Aborted);
        EXPECT_EQ(ShellCopySucceeded(c.Result, c.Aborted), c.Succeeded);
    }
}

class ShellCopyTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Folder = MakeFreshFolder(TempFolder(), L"h2-copy");
        ASSERT_TRUE(MakeFolder(Folder + L"\\Patch"));
        ASSERT_TRUE(MakeFolder(Folder + L"\\Patch\\Sub"));
        ASSERT_TRUE(WriteTextFile(Folder + L"\\Patch\\top.txt", "top"));
        ASSERT_TRUE(WriteTextFile(Folder + L"\\Patch\\Sub\\inner.txt", "inner"));
        ASSERT_TRUE(MakeFolder(Folder + L"\\Game"));
        ASSERT_TRUE(WriteTextFile(Folder + L"\\Game\\top.txt", "old"));
    }
    void TearDown() override { RemoveTree(Folder); }

    std::wstring Folder;
};

TEST_F(ShellCopyTest, CopyMergesSubfoldersAndReplacesFilesThroughTheDoubledSeparator)
{
    EXPECT_TRUE(CopyShellFiles(Folder + L"\\\\Patch\\*.*", Folder + L"\\Game"));

    EXPECT_EQ(ListTree(Folder + L"\\Game"), L"Sub\\ Sub\\inner.txt top.txt");
    std::string top;
    ASSERT_TRUE(ReadTextFile(Folder + L"\\Game\\top.txt", top));
    EXPECT_EQ(top, "top");
}

TEST_F(ShellCopyTest, CopyTheShellReportsAsFailedIsAFailure)
{
    EXPECT_FALSE(CopyShellFiles(Folder + L"\\Missing\\file.txt", Folder + L"\\Game"));
    EXPECT_EQ(ListTree(Folder + L"\\Game"), L"top.txt");
}
} // namespace
