#include "UpdateRegistry.h"

#include "InstallLocation.h"

namespace
{
const wchar_t* const InstallLocationValue = L"InstallLocation";
}

bool CreateInstallKey(const wchar_t* keyPath)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, keyPath, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
    {
        return false;
    }
    RegCloseKey(key);
    return true;
}

bool StoreRaw(const wchar_t* keyPath, DWORD type, const void* data, std::size_t bytes)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, keyPath, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
    {
        return false;
    }
    const LONG result = RegSetValueExW(key, InstallLocationValue, 0, type, static_cast<const BYTE*>(data),
                                       static_cast<DWORD>(bytes));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool StoreString(const wchar_t* keyPath, const std::wstring& text)
{
    return StoreRaw(keyPath, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

void DeleteAllInstallKeys()
{
    for (const wchar_t* keyPath : InstallKeyPaths)
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, keyPath);
        RegDeleteKeyW(HKEY_CURRENT_USER, keyPath);
    }
}
