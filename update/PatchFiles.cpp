#include "PatchFiles.h"

#include <shellapi.h>

#include <vector>

namespace
{
const wchar_t* const PatchFolderPattern = L"\\Patch\\*.*";
const wchar_t* const CopyProgressTitle = L"Copying patch files ...";
const wchar_t* const DeleteProgressTitle = L"Deleting temp files ...";
// No questions, not even for new folders; no undo, so deleted files do not go to the recycle bin.
constexpr FILEOP_FLAGS PatchFileFlags = FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR;

// False when the running program's path cannot be had whole: cutting a truncated path at its last
// backslash could name another folder, whose Patch folder must not be touched.
bool OwnPatchSourcePattern(std::wstring& pattern)
{
    std::wstring modulePath;
    return ReadModulePath(nullptr, LongPathCapacity, modulePath) &&
           PatchSourcePatternFor(modulePath, pattern);
}
} // namespace

bool ReadModulePath(HMODULE module, DWORD capacity, std::wstring& path)
{
    std::vector<wchar_t> buffer(capacity, L'\0');
    const DWORD length = GetModuleFileNameW(module, buffer.data(), capacity);
    // A path that fills the whole buffer may have been cut short.
    if (length == 0 || length >= capacity)
    {
        return false;
    }
    path.assign(buffer.data(), length);
    return true;
}

bool PatchSourcePatternFor(const std::wstring& modulePath, std::wstring& pattern)
{
    const std::size_t lastBackslash = modulePath.find_last_of(L'\\');
    if (lastBackslash == std::wstring::npos)
    {
        return false;
    }
    // The doubled separator this gives ("D:\Dist\\Patch\*.*") is accepted by the shell.
    pattern = modulePath.substr(0, lastBackslash + 1) + PatchFolderPattern;
    return true;
}

std::wstring ShellFileList(const std::wstring& path)
{
    // c_str() adds the second zero.
    return path + L'\0';
}

bool ShellCopySucceeded(int result, BOOL anyOperationsAborted)
{
    return result == 0 && anyOperationsAborted == FALSE;
}

bool CopyShellFiles(const std::wstring& source, const std::wstring& target)
{
    const std::wstring sourceList = ShellFileList(source);
    const std::wstring targetList = ShellFileList(target);
    SHFILEOPSTRUCTW operation = {};
    operation.hwnd = nullptr;
    operation.wFunc = FO_COPY;
    operation.pFrom = sourceList.c_str();
    operation.pTo = targetList.c_str();
    operation.fFlags = PatchFileFlags;
    operation.lpszProgressTitle = CopyProgressTitle;
    const int result = SHFileOperationW(&operation);
    return ShellCopySucceeded(result, operation.fAnyOperationsAborted);
}

bool CopyPatchFiles(const wchar_t* path)
{
    std::wstring pattern;
    if (!OwnPatchSourcePattern(pattern))
    {
        return false;
    }
    return CopyShellFiles(pattern, path);
}

void DeletePatchFiles()
{
    std::wstring pattern;
    if (!OwnPatchSourcePattern(pattern))
    {
        return;
    }
    const std::wstring sourceList = ShellFileList(pattern);
    SHFILEOPSTRUCTW operation = {};
    operation.hwnd = nullptr;
    operation.wFunc = FO_DELETE;
    operation.pFrom = sourceList.c_str();
    operation.pTo = nullptr;
    operation.fFlags = PatchFileFlags;
    operation.lpszProgressTitle = DeleteProgressTitle;
    SHFileOperationW(&operation);
}
