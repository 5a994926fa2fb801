#include "InstallLocation.h"

#include <shlobj.h>

#include <cwchar>

// One product code a pair: the 32-bit registry view first, then the plain path.
// clang-format off
const wchar_t* const InstallKeyPaths[InstallKeyCount] = {
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\InstallShield_{3C1E5A70-2B4D-4F61-9A83-1D6E0B7C4A21}",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\InstallShield_{3C1E5A70-2B4D-4F61-9A83-1D6E0B7C4A21}",
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\InstallShield_{8E2F4B91-6C3A-4D07-B5E2-7A9C1F0D3E64}",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\InstallShield_{8E2F4B91-6C3A-4D07-B5E2-7A9C1F0D3E64}",
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\InstallShield_{D47A0C35-9E1B-4A8F-8C26-5B3E7F1A9D02}",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\InstallShield_{D47A0C35-9E1B-4A8F-8C26-5B3E7F1A9D02}",
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\InstallShield_{17B9E6D2-4F0C-4B35-A1D8-E2C45A6F8B97}",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\InstallShield_{17B9E6D2-4F0C-4B35-A1D8-E2C45A6F8B97}",
    L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\InstallShield_{5AD2F813-C7E4-4962-9F1B-3E8A0D27C6B5}",
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\InstallShield_{5AD2F813-C7E4-4962-9F1B-3E8A0D27C6B5}",
};
// clang-format on

namespace
{
const wchar_t* const InstallLocationValue = L"InstallLocation";
constexpr DWORD InstallLocationBytes = PathBufferSize * sizeof(wchar_t);

const wchar_t* const MarkerFolders[] = {L"Binaries", L"Engine", L"KVGame"};

const wchar_t* const BrowseTitle = L"Please browse to where KVT is installed";
constexpr UINT BrowseFlags = BIF_EDITBOX | BIF_NEWDIALOGSTYLE | BIF_NONEWFOLDERBUTTON;
} // namespace

bool ReadInstallLocation(const wchar_t* keyPath, wchar_t (&path)[PathBufferSize])
{
    wmemset(path, 0, PathBufferSize);

    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
    {
        return false;
    }
    // One unit more than the registry may fill, so the text is terminated whatever the value holds.
    wchar_t value[PathBufferSize + 1] = {};
    DWORD size = InstallLocationBytes;
    const LONG result =
        RegQueryValueExW(key, InstallLocationValue, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);

    // A value too long for the buffer, or one that fills it without a terminator, would arrive cut
    // short and name some other folder.
    const std::size_t length = wcslen(value);
    if (result != ERROR_SUCCESS || length >= PathBufferSize)
    {
        return false;
    }
    wcscpy_s(path, PathBufferSize, value);
    return path[0] != L'\0';
}

bool IsInstallDirectory(const wchar_t* path)
{
    const std::size_t pathLength = wcslen(path);
    for (const wchar_t* marker : MarkerFolders)
    {
        // A marker path that would not fit cannot be asked about: such a folder is not the game's.
        if (pathLength + 1 + wcslen(marker) >= PathBufferSize)
        {
            return false;
        }
        wchar_t markerPath[PathBufferSize];
        wsprintfW(markerPath, L"%s\\%s", path, marker);
        const DWORD attributes = GetFileAttributesW(markerPath);
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        {
            return false;
        }
    }
    return true;
}

bool BrowseForInstallDirectory(wchar_t (&path)[PathBufferSize])
{
    BROWSEINFOW browse = {};
    browse.hwndOwner = nullptr;
    browse.lpszTitle = BrowseTitle;
    browse.ulFlags = BrowseFlags;
    PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&browse);
    if (chosen == nullptr)
    {
        return false;
    }
    const bool converted = SHGetPathFromIDListW(chosen, path) != FALSE;
    CoTaskMemFree(chosen);
    return converted;
}
