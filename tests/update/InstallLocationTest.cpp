// The uninstall keys in the real registry of the Wine prefix, and game folders on disk.

#include "InstallLocation.h"
#include "TestFolders.h"
#include "UpdateRegistry.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace
{
// The registry may hand back anything; the buffer starts full of junk so a missing terminator shows.
void FillWithJunk(wchar_t (&path)[PathBufferSize])
{
    wmemset(path, L'#', PathBufferSize);
}

// A path buffer with guard units right after it, to show that nothing is written past its end.
struct FGuardedPath
{
    wchar_t Path[PathBufferSize];
    wchar_t Guard[8];
};

void FillGuarded(FGuardedPath& buffer)
{
    FillWithJunk(buffer.Path);
    wmemset(buffer.Guard, L'G', std::size(buffer.Guard));
}

bool GuardIntact(const FGuardedPath& buffer)
{
    return std::wstring(buffer.Guard, std::size(buffer.Guard)) == std::wstring(std::size(buffer.Guard), L'G');
}

class InstallKeyTest : public ::testing::Test
{
protected:
    void SetUp() override { DeleteAllInstallKeys(); }
    void TearDown() override { DeleteAllInstallKeys(); }
};

TEST_F(InstallKeyTest, KeyTableNamesEachProductsWow6432NodeKeyFirstThenItsPlainKey)
{
    const wchar_t* const products[] = {
        L"{3C1E5A70-2B4D-4F61-9A83-1D6E0B7C4A21}", L"{8E2F4B91-6C3A-4D07-B5E2-7A9C1F0D3E64}",
        L"{D47A0C35-9E1B-4A8F-8C26-5B3E7F1A9D02}", L"{17B9E6D2-4F0C-4B35-A1D8-E2C45A6F8B97}",
        L"{5AD2F813-C7E4-4962-9F1B-3E8A0D27C6B5}"};
    for (std::size_t i = 0; i < 5; ++i)
    {
        const std::wstring tail =
            std::wstring(L"Microsoft\\Windows\\CurrentVersion\\Uninstall\\InstallShield_") + products[i];
        EXPECT_EQ(InstallKeyPaths[2 * i], L"SOFTWARE\\Wow6432Node\\" + tail);
        EXPECT_EQ(InstallKeyPaths[2 * i + 1], L"SOFTWARE\\" + tail);
    }
}

struct FValueCase
{
    const char* Name;
    std::function<void(const wchar_t* key)> Store; // nullptr: the key does not exist
    bool Expected;
    std::wstring ExpectedPath;
};

std::wstring Repeated(wchar_t c, std::size_t count)
{
    return std::wstring(count, c);
}

std::wstring PathOfLength(std::size_t length)
{
    std::wstring path = L"C:\\Games\\";
    path += Repeated(L'k', length - path.size());
    return path;
}

TEST_F(InstallKeyTest, ReadInstallLocationTakesOnlyValuesThatFitWhole)
{
    const std::vector<FValueCase> cases = {
        {"missing key", nullptr, false, L""},
        {"key without the value", [](const wchar_t*) {}, false, L""},
        {"empty value", [](const wchar_t* key) { StoreString(key, L""); }, false, L""},
        {"normal value", [](const wchar_t* key) { StoreString(key, L"C:\\Games\\Karveth"); }, true,
         L"C:\\Games\\Karveth"},
        {"259 units", [](const wchar_t* key) { StoreString(key, PathOfLength(259)); }, true,
         PathOfLength(259)},
        {"259 units stored without terminator",
         [](const wchar_t* key)
         {
             const std::wstring text = PathOfLength(259);
             StoreRaw(key, REG_SZ, text.data(), text.size() * sizeof(wchar_t));
         },
         true, PathOfLength(259)},
        {"260 units", [](const wchar_t* key) { StoreString(key, PathOfLength(260)); }, false, L""},
        {"far too long", [](const wchar_t* key) { StoreString(key, PathOfLength(1000)); }, false, L""},
        {"260 units stored without terminator",
         [](const wchar_t* key)
         {
             const std::wstring text = PathOfLength(260);
             StoreRaw(key, REG_SZ, text.data(), text.size() * sizeof(wchar_t));
         },
         false, L""},
        {"520 bytes of binary, no zero",
         [](const wchar_t* key)
         {
             const std::vector<BYTE> bytes(520, 0x41);
             StoreRaw(key, REG_BINARY, bytes.data(), bytes.size());
         },
         false, L""},
    };
    for (const FValueCase& c : cases)
    {
        SCOPED_TRACE(c.Name);
        DeleteAllInstallKeys();
        if (c.Store)
        {
            ASSERT_TRUE(CreateInstallKey(InstallKeyPaths[0]));
            c.Store(InstallKeyPaths[0]);
        }
        FGuardedPath buffer;
        FillGuarded(buffer);
        EXPECT_EQ(ReadInstallLocation(InstallKeyPaths[0], buffer.Path), c.Expected);
        ASSERT_LT(wcsnlen(buffer.Path, PathBufferSize), PathBufferSize) << "the buffer must be terminated";
        EXPECT_EQ(std::wstring(buffer.Path), c.ExpectedPath);
        EXPECT_TRUE(GuardIntact(buffer)) << "written past the path buffer";
    }
}

TEST_F(InstallKeyTest, ValueOfAnotherTypeDoesNotCrashAndLeavesATerminatedBuffer)
{
    ASSERT_TRUE(CreateInstallKey(InstallKeyPaths[3]));
    const DWORD number = 0x004B0056; // "VK" as UTF-16, a name no game folder has
    StoreRaw(InstallKeyPaths[3], REG_DWORD, &number, sizeof(number));

    wchar_t path[PathBufferSize];
    FillWithJunk(path);
    const bool found = ReadInstallLocation(InstallKeyPaths[3], path);

    ASSERT_LT(wcsnlen(path, PathBufferSize), PathBufferSize);
    EXPECT_EQ(found, path[0] != L'\0');
    EXPECT_FALSE(IsInstallDirectory(path));
}

TEST_F(InstallKeyTest, Wow6432NodeAndPlainKeyNamingTheSameFolderAreBothFound)
{
    const std::wstring folder = L"D:\\Program Files (x86)\\Karveth";
    for (const wchar_t* key : {InstallKeyPaths[0], InstallKeyPaths[1]})
    {
        ASSERT_TRUE(CreateInstallKey(key));
        StoreString(key, folder);
    }
    for (std::size_t i = 0; i < InstallKeyCount; ++i)
    {
        SCOPED_TRACE(i);
        wchar_t path[PathBufferSize];
        FillWithJunk(path);
        const bool found = ReadInstallLocation(InstallKeyPaths[i], path);
        EXPECT_EQ(found, i < 2);
        EXPECT_EQ(std::wstring(path), i < 2 ? folder : L"");
    }
}

class InstallDirectoryTest : public ::testing::Test
{
protected:
    void SetUp() override { Folder = MakeFreshFolder(TempFolder(), L"h2-game"); }
    void TearDown() override { RemoveTree(Folder); }

    std::wstring Folder;
};

TEST_F(InstallDirectoryTest, AllThreeMarkerFoldersMustBeFolders)
{
    struct FCase
    {
        const char* Name;
        std::vector<std::wstring> Folders;
        std::vector<std::wstring> Files;
        bool Expected;
    };
    const std::vector<FCase> cases = {
        {"all three markers", {L"Binaries", L"Engine", L"KVGame"}, {}, true},
        {"no Binaries", {L"Engine", L"KVGame"}, {}, false},
        {"no Engine", {L"Binaries", L"KVGame"}, {}, false},
        {"no KVGame", {L"Binaries", L"Engine"}, {}, false},
        {"Binaries is a file", {L"Engine", L"KVGame"}, {L"Binaries"}, false},
        {"KVGame is a file", {L"Binaries", L"Engine"}, {L"KVGame"}, false},
        {"empty folder", {}, {}, false},
    };
    int n = 0;
    for (const FCase& c : cases)
    {
        SCOPED_TRACE(c.Name);
        const std::wstring game = Folder + L"\\case" + std::to_wstring(n++);
        ASSERT_TRUE(MakeFolder(game));
        for (const std::wstring& name : c.Folders)
        {
            ASSERT_TRUE(MakeFolder(game + L"\\" + name));
        }
        for (const std::wstring& name : c.Files)
        {
            ASSERT_TRUE(WriteTextFile(game + L"\\" + name, "not a folder"));
        }
        EXPECT_EQ(IsInstallDirectory(game.c_str()), c.Expected);
    }
}

TEST_F(InstallDirectoryTest, PathEndingInABackslashIsAccepted)
{
    for (const wchar_t* name : {L"Binaries", L"Engine", L"KVGame"})
    {
        ASSERT_TRUE(MakeFolder(Folder + L"\\" + name));
    }
    EXPECT_TRUE(IsInstallDirectory((Folder + L"\\").c_str()));
}

TEST_F(InstallDirectoryTest, MissingFolderIsNotAGameFolder)
{
    EXPECT_FALSE(IsInstallDirectory((Folder + L"\\nowhere").c_str()));
}

// The longest marker path, "<folder>\Binaries", fills the path buffer exactly for a folder of 250
// units (259 and the terminator): such a folder is checked. One unit more and it would not fit.
TEST_F(InstallDirectoryTest, MarkerPathOfExactlyTheBufferIsCheckedAndOneUnitMoreIsNot)
{
    const struct
    {
        std::size_t FolderLength;
        bool Expected;
    } cases[] = {{PathBufferSize - 1 - 9, true}, {PathBufferSize - 9, false}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.FolderLength);
        const std::wstring parent = Folder + L"\\" + std::to_wstring(c.FolderLength);
        ASSERT_TRUE(MakeFolder(parent));
        const std::wstring game = parent + L"\\" + Repeated(L'm', c.FolderLength - 1 - parent.size());
        ASSERT_EQ(game.size(), c.FolderLength);
        for (const std::wstring& path : {game, game + L"\\Binaries", game + L"\\Engine", game + L"\\KVGame"})
        {
            ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr)) << GetLastError();
        }
        EXPECT_EQ(IsInstallDirectory(game.c_str()), c.Expected);
    }
}

// A game folder whose marker paths no longer fit a path buffer cannot be checked safely.
TEST_F(InstallDirectoryTest, FolderTooDeepForItsMarkerPathsIsNotAGameFolder)
{
    std::wstring deep = Folder;
    const std::wstring step = L"\\" + Repeated(L'd', 60);
    while (deep.size() + step.size() <= PathBufferSize - 1 - 6)
    {
        deep += step;
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr)) << GetLastError();
    }
    // Pad the last name so that the folder itself fits a path buffer but "\Binaries" after it does not.
    const std::size_t deepLength = PathBufferSize - 5;
    deep += L"\\" + Repeated(L'p', deepLength - 1 - deep.size());
    ASSERT_EQ(deep.size(), deepLength);
    for (const std::wstring& path : {deep, deep + L"\\Binaries", deep + L"\\Engine", deep + L"\\KVGame"})
    {
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr)) << GetLastError();
    }
    ASSERT_TRUE(IsFolder(L"\\\\?\\" + deep + L"\\Binaries"));

    EXPECT_FALSE(IsInstallDirectory(deep.c_str()));

    const std::wstring full = deep + Repeated(L'x', PathBufferSize - 1 - deepLength);
    EXPECT_FALSE(IsInstallDirectory(full.c_str())) << "a path filling the whole buffer";
}
} // namespace
