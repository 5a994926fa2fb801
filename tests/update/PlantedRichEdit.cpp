// Stands in for a RICHED20.DLL planted beside Update.exe, e.g. in a downloads folder: when loaded it
// leaves a marker file beside itself and registers no window class.

#include <windows.h>

#include <string>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        wchar_t path[MAX_PATH];
        const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
        std::wstring marker(path, length);
        marker.replace(marker.find_last_of(L'\\') + 1, std::wstring::npos, L"planted-dll-was-loaded.txt");
        HANDLE file = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE)
        {
            CloseHandle(file);
        }
    }
    return TRUE;
}
