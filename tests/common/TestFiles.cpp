#include "TestFiles.h"

#include <windows.h>

std::wstring ProgramFolder()
{
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = 0;
    // Test folders can be deep; grow until the whole path fits.
    while ((length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()))) >= path.size())
    {
        path.resize(path.size() * 2);
    }
    path.resize(length);
    return path.substr(0, path.find_last_of(L'\\'));
}

std::wstring UniqueTempPath(const std::wstring& stem, const std::wstring& extension)
{
    static LONG sequence = 0;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + stem + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(InterlockedIncrement(&sequence)) + extension;
}

std::vector<std::string> ReadWholeLines(const std::wstring& path)
{
    std::vector<std::string> lines;
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return lines;
    }
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
    {
        text.append(buffer, read);
    }
    CloseHandle(file);
    size_t begin = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', begin))
    {
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}
