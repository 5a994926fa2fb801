#pragma once

#include <windows.h>

// The dialog's results.
constexpr INT_PTR LicenseAccepted = IDOK;
constexpr INT_PTR LicenseDeclined = IDCANCEL;

// The view shows at most this many characters of the licence.
constexpr LPARAM LicenseTextLimit = 0x80000;

// Registers the rich-edit window class the licence view needs. The library is taken from the
// Windows system folder only, never from beside the executable. It stays loaded.
void LoadRichEditLibrary();

// Runs the licence dialog of the given module modally; LicenseAccepted or LicenseDeclined.
INT_PTR RunLicenseDialog(HINSTANCE instance);

INT_PTR CALLBACK LicenseDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Stream-in callback: cookie is the open licence file.
DWORD CALLBACK ReadRtfChunk(DWORD_PTR cookie, LPBYTE buffer, LONG wanted, LONG* read);
