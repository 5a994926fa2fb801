// Stands in for a system library planted beside Update.exe under the system library's name, e.g. in a
// downloads folder. When loaded it leaves a marker "<its file name>-was-loaded.txt" beside itself and
// refuses the load, so that Wine falls back to its own library and the program runs on as before:
// only the marker tells.

#include <windows.h>

#include <string>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    if (reason != DLL_PROCESS_ATTACH)
    {
        return TRUE;
    }
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
    const std::wstring marker = std::wstring(path, length) + L"-was-loaded.txt";
    HANDLE file = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE)
    {
        CloseHandle(file);
    }
    return FALSE;
}
