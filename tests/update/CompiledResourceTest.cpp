// Reads the resources compiled into Update.exe, as Windows will find them, and checks them field by field:
// in the program beside the tests (built for the tests' own machine) and in the i686 program that
// ships, opened for its resources alone.

#include "ManifestContext.h"
#include "TestFolders.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace
{
constexpr WORD LicenseDialogId = 101;

// Walks the template's bytes: little-endian fields, texts and ordinals as the format lays them out.
class FTemplateReader
{
public:
    FTemplateReader(const std::uint8_t* data, std::size_t size) : Data(data), Size(size) {}

    bool Failed() const { return Overrun; }

    std::uint16_t Word()
    {
        std::uint16_t value = 0;
        Take(&value, sizeof(value));
        return value;
    }

    std::uint32_t Dword()
    {
        std::uint32_t value = 0;
        Take(&value, sizeof(value));
        return value;
    }

    std::int16_t Short() { return static_cast<std::int16_t>(Word()); }

    std::uint8_t Byte()
    {
        std::uint8_t value = 0;
        Take(&value, sizeof(value));
        return value;
    }

    std::wstring Text()
    {
        std::wstring text;
        for (std::uint16_t unit = Word(); unit != 0 && !Overrun; unit = Word())
        {
            text += static_cast<wchar_t>(unit);
        }
        return text;
    }

    // A name or an ordinal: 0 is none, 0xFFFF is followed by the ordinal, anything else starts a text.
    std::wstring NameOrOrdinal()
    {
        const std::uint16_t first = Word();
        if (first == 0)
        {
            return L"";
        }
        if (first == 0xFFFF)
        {
            return L"#" + std::to_wstring(Word());
        }
        Offset -= sizeof(std::uint16_t);
        return Text();
    }

    void AlignToDword() { Offset = (Offset + 3) & ~static_cast<std::size_t>(3); }

    void Skip(std::size_t bytes) { Offset += bytes; }

private:
    void Take(void* out, std::size_t bytes)
    {
        if (Offset + bytes > Size)
        {
            Overrun = true;
            return;
        }
        std::memcpy(out, Data + Offset, bytes);
        Offset += bytes;
    }

    const std::uint8_t* Data;
    std::size_t Size;
    std::size_t Offset = 0;
    bool Overrun = false;
};

struct FControl
{
    std::uint32_t Id;
    std::wstring Class;
    std::wstring Text;
    std::int16_t X, Y, Width, Height;
    std::uint32_t Style;
    std::uint32_t ExStyle;
};

bool operator==(const FControl& a, const FControl& b)
{
    return a.Id == b.Id && a.Class == b.Class && a.Text == b.Text && a.X == b.X && a.Y == b.Y &&
           a.Width == b.Width && a.Height == b.Height && a.Style == b.Style && a.ExStyle == b.ExStyle;
}

void PrintTo(const FControl& c, std::ostream* out)
{
    char line[256];
    std::snprintf(line, sizeof(line), "{id %u, %d,%d %dx%d, style 0x%08X, ex 0x%08X, ", c.Id, c.X, c.Y,
                  c.Width, c.Height, c.Style, c.ExStyle);
    *out << line << "class " << ::testing::PrintToString(c.Class) << ", text "
         << ::testing::PrintToString(c.Text) << "}";
}

// The predefined button class may be stored by its atom; it is the same class.
std::wstring ClassName(const std::wstring& stored)
{
    return stored == L"#128" ? L"button" : stored;
}

// The shipping build's Update.exe, by its Linux path, as Wine names it.
std::wstring ShippedProgram()
{
    using FDosFileName = std::add_pointer_t<wchar_t*(const char*)>;
    const auto dosFileName = reinterpret_cast<FDosFileName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    wchar_t* converted = dosFileName != nullptr ? dosFileName(KARVETH_SHIPPED_UPDATE) : nullptr;
    if (converted == nullptr)
    {
        return std::wstring();
    }
    std::wstring path = converted;
    HeapFree(GetProcessHeap(), 0, converted);
    return path;
}

std::wstring TestedProgram()
{
    return ProgramFolder() + L"\\Update.exe";
}

// The machine a program file is built for, from its PE header; 0 when it cannot be read.
WORD FileMachine(const std::wstring& path)
{
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return 0;
    }
    std::vector<std::uint8_t> header(4096);
    DWORD read = 0;
    ReadFile(file, header.data(), static_cast<DWORD>(header.size()), &read, nullptr);
    CloseHandle(file);
    IMAGE_DOS_HEADER dos = {};
    IMAGE_FILE_HEADER image = {};
    if (read < sizeof(dos))
    {
        return 0;
    }
    std::memcpy(&dos, header.data(), sizeof(dos));
    const std::size_t imageAt = static_cast<std::size_t>(dos.e_lfanew) + sizeof(DWORD); // after "PE\0\0"
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 || imageAt + sizeof(image) > read)
    {
        return 0;
    }
    std::memcpy(&image, header.data() + imageAt, sizeof(image));
    return image.Machine;
}

struct FProgramCase
{
    const char* Name;
    bool Shipped; // the i686 file of the shipping build, not the one beside the tests
    WORD Machine;
};

// The file beside the tests is built for the tests' own machine.
#ifdef _WIN64
constexpr WORD TestedMachine = IMAGE_FILE_MACHINE_AMD64;
#else
constexpr WORD TestedMachine = IMAGE_FILE_MACHINE_I386;
#endif

void PrintTo(const FProgramCase& c, std::ostream* out)
{
    *out << c.Name << " (" << (c.Shipped ? "shipping build" : "beside the tests") << ", machine 0x"
         << std::hex << c.Machine << std::dec << ")";
}

class CompiledResourceTest : public ::testing::TestWithParam<FProgramCase>
{
protected:
    void SetUp() override
    {
        Program = GetParam().Shipped ? ShippedProgram() : TestedProgram();
        ASSERT_EQ(FileMachine(Program), GetParam().Machine) << ::testing::PrintToString(Program);
        // Resources only: the i686 file cannot be mapped as an image into an x86_64 process.
        Module = LoadLibraryExW(Program.c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(Module, nullptr) << "cannot open " << ::testing::PrintToString(Program)
                                   << " (the win32 preset builds the shipped one)";
    }

    void TearDown() override
    {
        if (Module != nullptr)
        {
            FreeLibrary(Module);
        }
    }

    std::vector<std::uint8_t> Resource(LPCWSTR type, WORD id)
    {
        HRSRC found = FindResourceW(Module, MAKEINTRESOURCEW(id), type);
        if (found == nullptr)
        {
            return {};
        }
        const auto* data = static_cast<const std::uint8_t*>(LockResource(LoadResource(Module, found)));
        return std::vector<std::uint8_t>(data, data + SizeofResource(Module, found));
    }

    std::wstring Program;
    HMODULE Module = nullptr;
};

INSTANTIATE_TEST_SUITE_P(UpdateExe, CompiledResourceTest,
                         ::testing::Values(FProgramCase{"Tested", false, TestedMachine},
                                           FProgramCase{"Shipped", true, IMAGE_FILE_MACHINE_I386}),
                         [](const ::testing::TestParamInfo<FProgramCase>& info) { return info.param.Name; });

TEST_P(CompiledResourceTest, LicenseDialogTemplateHoldsExactlyTheDesignedValues)
{
    const std::vector<std::uint8_t> bytes = Resource(RT_DIALOG, LicenseDialogId);
    ASSERT_FALSE(bytes.empty()) << "no dialog template 101";
    FTemplateReader in(bytes.data(), bytes.size());

    EXPECT_EQ(in.Word(), 1) << "version of an extended template";
    EXPECT_EQ(in.Word(), 0xFFFF) << "signature of an extended template";
    EXPECT_EQ(in.Dword(), 0u) << "help id";
    EXPECT_EQ(in.Dword(), 0x00040008u) << "extended style";
    EXPECT_EQ(in.Dword(), 0x80C808CEu) << "style";
    const std::uint16_t controlCount = in.Word();
    EXPECT_EQ(controlCount, 3);
    EXPECT_EQ(in.Short(), 0);
    EXPECT_EQ(in.Short(), 0);
    EXPECT_EQ(in.Short(), 460);
    EXPECT_EQ(in.Short(), 284);
    EXPECT_EQ(in.NameOrOrdinal(), L"") << "menu";
    EXPECT_EQ(in.NameOrOrdinal(), L"") << "window class";
    EXPECT_EQ(in.Text(), L"End User License Agreement");
    EXPECT_EQ(in.Word(), 8) << "point size";
    EXPECT_EQ(in.Word(), 400) << "weight";
    EXPECT_EQ(in.Byte(), 0) << "italic";
    EXPECT_EQ(in.Byte(), 1) << "character set";
    EXPECT_EQ(in.Text(), L"MS Shell Dlg");

    std::vector<FControl> controls;
    for (std::uint16_t i = 0; i < controlCount && !in.Failed(); ++i)
    {
        in.AlignToDword();
        FControl control;
        EXPECT_EQ(in.Dword(), 0u) << "help id of control " << i;
        control.ExStyle = in.Dword();
        control.Style = in.Dword();
        control.X = in.Short();
        control.Y = in.Short();
        control.Width = in.Short();
        control.Height = in.Short();
        control.Id = in.Dword();
        control.Class = ClassName(in.NameOrOrdinal());
        control.Text = in.NameOrOrdinal();
        in.Skip(in.Word());
        controls.push_back(control);
    }
    ASSERT_FALSE(in.Failed()) << "the template ends too early";

    const std::vector<FControl> expected = {
        {1, L"button", L"Accept", 341, 263, 50, 14, 0x50010001u, 0u},
        {2, L"button", L"Decline", 403, 263, 50, 14, 0x50010000u, 0u},
        {1002, L"RichEdit20A", L"", 7, 7, 446, 249, 0x50210804u, 0x00020200u},
    };
    EXPECT_EQ(controls, expected);
}
// Windows reads the execution level, the supported versions, the Common Controls dependency and the DPI
// awareness from manifest 1 of the program.
TEST_P(CompiledResourceTest, ManifestAsksForAdministratorRightsTheVisualStyleAndDpiAwareness)
{
    const std::vector<std::uint8_t> bytes = Resource(RT_MANIFEST, 1);
    ASSERT_FALSE(bytes.empty()) << "no application manifest";
    const std::string manifest(bytes.begin(), bytes.end());
    EXPECT_EQ(Resource(RT_MANIFEST, 2).size(), 0u) << "a second manifest would be ignored for a program";

    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>"),
              std::string::npos);
    EXPECT_NE(manifest.find("urn:schemas-microsoft-com:asm.v3"), std::string::npos) << "trustInfo namespace";
    const char* const supportedOs[] = {
        "{e2011457-1546-43c5-a5fe-008deee3d3f0}", // Vista
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", // 7
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", // 8
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", // 8.1
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", // 10 and 11
    };
    for (const char* id : supportedOs)
    {
        EXPECT_NE(manifest.find(std::string("<supportedOS Id=\"") + id + "\"/>"), std::string::npos) << id;
    }
    const char* const commonControls[] = {
        "type=\"win32\"",
        "name=\"Microsoft.Windows.Common-Controls\"",
        "version=\"6.0.0.0\"",
        "processorArchitecture=\"*\"",
        "publicKeyToken=\"6595b64144ccf1df\"",
        "language=\"*\"",
    };
    const std::size_t dependency = manifest.find("<dependentAssembly>");
    const std::size_t dependencyEnd = manifest.find("</dependentAssembly>");
    ASSERT_NE(dependency, std::string::npos) << "no dependency";
    for (const char* attribute : commonControls)
    {
        const std::size_t at = manifest.find(attribute, dependency);
        EXPECT_TRUE(at != std::string::npos && at < dependencyEnd) << attribute;
    }
    EXPECT_NE(manifest.find("<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true"
                            "</dpiAware>"),
              std::string::npos);

    // The loader's own reading: it must accept the manifest, or Windows would refuse to start the
    // program, and find what the text says. (Wine 8 reports per-monitor awareness to a running program
    // whatever its manifest says, so the setting is read here.)
    const FManifestContext context(Program);
    ASSERT_TRUE(context.Valid()) << "manifest rejected, error " << context.Error();
    EXPECT_EQ(context.Setting(L"dpiAware"), L"true");
    std::wstring identity;
    std::wstring folder;
    ASSERT_TRUE(context.Dependency(L"Microsoft.Windows.Common-Controls", identity, folder));
    EXPECT_NE(identity.find(L"version=\"6."), std::wstring::npos) << ::testing::PrintToString(identity);
}
} // namespace
