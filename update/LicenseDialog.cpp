#include "LicenseDialog.h"

#include "resource.h"

#include <richedit.h>

#include <cwchar>

namespace
{
const wchar_t* const RichEditLibraryName = L"RICHED20.DLL";
const wchar_t* const LicenseFileName = L"EULA.rtf";

// Loaded once, never unloaded: the class must stay registered while any dialog may use it.
HMODULE RichEditLibrary = nullptr;

void LoadLicenseText(HWND view)
{
    HANDLE file = CreateFileW(LicenseFileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return;
    }
    EDITSTREAM stream = {};
    stream.dwCookie = reinterpret_cast<DWORD_PTR>(file);
    stream.dwError = 0;
    stream.pfnCallback = ReadRtfChunk;
    SendMessageW(view, EM_STREAMIN, SF_RTF, reinterpret_cast<LPARAM>(&stream));
    CloseHandle(file);
}
} // namespace

void LoadRichEditLibrary()
{
    wchar_t path[MAX_PATH];
    const UINT folderLength = GetSystemDirectoryW(path, MAX_PATH);
    // Without the system folder the class stays unregistered and the dialog cannot be created,
    // which is better than loading a library of the same name from somewhere else.
    if (folderLength == 0 || folderLength + 1 + wcslen(RichEditLibraryName) >= MAX_PATH)
    {
        return;
    }
    wsprintfW(path + folderLength, L"\\%s", RichEditLibraryName);
    RichEditLibrary = LoadLibraryW(path);
}

INT_PTR RunLicenseDialog(HINSTANCE instance)
{
    return DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_LICENSE_DIALOG), nullptr, LicenseDialogProc, 0);
}

INT_PTR CALLBACK LicenseDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM /*lParam*/)
{
    HWND view = GetDlgItem(dialog, IDC_LICENSE_TEXT);
    switch (message)
    {
    case WM_CLOSE:
        EndDialog(dialog, LicenseDeclined);
        return TRUE;
    case WM_INITDIALOG:
        // Device 0 and width 0: wrap lines at the view's own width.
        SendMessageW(view, EM_SETTARGETDEVICE, 0, 0);
        SendMessageW(view, EM_EXLIMITTEXT, 0, LicenseTextLimit);
        // Without the file the view stays empty and the dialog works all the same.
        LoadLicenseText(view);
        return TRUE;
    case WM_COMMAND:
        if (wParam == LicenseAccepted || wParam == LicenseDeclined)
        {
            EndDialog(dialog, static_cast<INT_PTR>(wParam));
        }
        return TRUE;
    default:
        return FALSE;
    }
}

DWORD CALLBACK ReadRtfChunk(DWORD_PTR cookie, LPBYTE buffer, LONG wanted, LONG* read)
{
    DWORD bytesRead = 0;
    const BOOL ok =
        ReadFile(reinterpret_cast<HANDLE>(cookie), buffer, static_cast<DWORD>(wanted), &bytesRead, nullptr);
    *read = static_cast<LONG>(bytesRead);
    return ok ? 0 : 1;
}
