#include "TestFolders.h"

#include <algorithm>
#include <vector>

namespace
{
void CollectTree(const std::wstring& folder, const std::wstring& prefix, std::vector<std::wstring>& names)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
    {
        return;
    }
    do
    {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
        {
            continue;
        }
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        {
            names.push_back(prefix + name + L"\\");
            CollectTree(folder + L"\\" + name, prefix + name + L"\\", names);
        }
        else
        {
            names.push_back(prefix + name);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}
} // namespace

std::wstring MakeFreshFolder(const std::wstring& base, const std::wstring& tag)
{
    MakeFolder(base);
    const std::wstring folder = base + L"\\" + tag + L"-" + std::to_wstring(GetCurrentProcessId());
    RemoveTree(folder);
    MakeFolder(folder);
    return folder;
}

std::wstring TempFolder()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, path);
    std::wstring folder(path, length);
    while (!folder.empty() && folder.back() == L'\\')
    {
        folder.pop_back();
    }
    return folder;
}

bool MakeFolder(const std::wstring& path)
{
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool WriteTextFile(const std::wstring& path, const std::string& content)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return false;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == content.size();
}

bool ReadTextFile(const std::wstring& path, std::string& content)
{
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return false;
    }
    content.clear();
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
    {
        content.append(buffer, read);
    }
    CloseHandle(file);
    return true;
}

bool PathExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring ListTree(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    CollectTree(folder, L"", names);
    std::sort(names.begin(), names.end());
    std::wstring list;
    for (const std::wstring& name : names)
    {
        list += (list.empty() ? L"" : L" ") + name;
    }
    return list;
}

bool RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE)
    {
        do
        {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
            {
                continue;
            }
            const std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                RemoveTree(path);
            }
            else
            {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
    return !PathExists(folder);
}
