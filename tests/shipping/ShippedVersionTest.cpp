// Reads the version resources of the shipping programs as Explorer's properties and support tools
// read them: the fixed file information and the strings of the US English, Unicode block.
//   shipped_version_tests AUTHBRIDGE_EXE UPDATE_EXE [GoogleTest options]

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace
{
// Set from the command line: the two programs to read.
std::wstring AuthbridgePath;
std::wstring UpdatePath;

struct FExpectedVersionInfo
{
    const char* TestName;
    const wchar_t* FileName;
    const std::wstring* Path;
    const wchar_t* Description;
};

const FExpectedVersionInfo ExpectedPrograms[] = {
    {"authbridge", L"authbridge.exe", &AuthbridgePath,
     L"Karveth Steam authentication bridge for the game server"},
    {"Update", L"Update.exe", &UpdatePath, L"Karveth patch installer"},
};

// Names the case in failure messages.
void PrintTo(const FExpectedVersionInfo& expected, std::ostream* out)
{
    *out << expected.TestName;
}

constexpr WORD UsEnglish = 0x0409;
constexpr WORD UnicodeCodePage = 1200;

std::wstring Widen(const char* text)
{
    const int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(units > 0 ? units - 1 : 0, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), units);
    return wide;
}

std::vector<BYTE> ReadVersionInfo(const std::wstring& path)
{
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    std::vector<BYTE> data(size);
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, data.data()))
    {
        data.clear();
    }
    return data;
}

// The string value of that name, or "<missing>" when the block lacks it.
std::wstring StringValue(std::vector<BYTE>& data, const wchar_t* name)
{
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), query.c_str(), &value, &length) || value == nullptr)
    {
        return L"<missing>";
    }
    return static_cast<const wchar_t*>(value);
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

class ShippedVersionInfo : public testing::TestWithParam<FExpectedVersionInfo>
{
};

TEST_P(ShippedVersionInfo, NamesTheProductVersionAndProgram)
{
    const FExpectedVersionInfo& expected = GetParam();
    std::vector<BYTE> data = ReadVersionInfo(*expected.Path);
    ASSERT_FALSE(data.empty()) << Narrow(*expected.Path) << " has no version resource (error "
                               << GetLastError() << ")";

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    const DWORD versionMs = (KARVETH_VERSION_MAJOR << 16) | KARVETH_VERSION_MINOR;
    const DWORD versionLs = KARVETH_VERSION_PATCH << 16;
    EXPECT_EQ(fixed->dwFileVersionMS, versionMs);
    EXPECT_EQ(fixed->dwFileVersionLS, versionLs);
    EXPECT_EQ(fixed->dwProductVersionMS, versionMs);
    EXPECT_EQ(fixed->dwProductVersionLS, versionLs);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u) << "a debug, pre-release or patched build";

    // Explorer picks the string block through the translation table.
    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_GE(length, 2 * sizeof(WORD));
    EXPECT_EQ(translation[0], UsEnglish);
    EXPECT_EQ(translation[1], UnicodeCodePage);

    const std::wstring version = Widen(KARVETH_VERSION);
    EXPECT_EQ(StringValue(data, L"ProductName"), L"Karveth");
    EXPECT_EQ(StringValue(data, L"ProductVersion"), version);
    EXPECT_EQ(StringValue(data, L"FileVersion"), version);
    EXPECT_EQ(StringValue(data, L"FileDescription"), expected.Description);
    EXPECT_EQ(StringValue(data, L"OriginalFilename"), expected.FileName);
}

INSTANTIATE_TEST_SUITE_P(Programs, ShippedVersionInfo, testing::ValuesIn(ExpectedPrograms),
                         [](const testing::TestParamInfo<FExpectedVersionInfo>& info)
                         { return std::string(info.param.TestName); });
} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc != 3)
    {
        std::fprintf(stderr, "usage: shipped_version_tests AUTHBRIDGE_EXE UPDATE_EXE [GoogleTest options]\n");
        return 2;
    }
    AuthbridgePath = Widen(argv[1]);
    UpdatePath = Widen(argv[2]);
    return RUN_ALL_TESTS();
}
