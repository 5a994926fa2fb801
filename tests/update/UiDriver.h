#pragma once

// Drives dialogs of another thread or process the way a user would: finds them, reads them, presses
// their buttons.

#include <windows.h>

#include <string>
#include <vector>

struct FButtonInfo
{
    int Id = 0;
    std::wstring Text; // without the '&' of the access key
    // The file of the library whose window procedure drives the button; known only for windows of
    // this process, empty for others.
    std::wstring ProcedureModule;
};

struct FWindowInfo
{
    HWND Window = nullptr;
    DWORD ProcessId = 0;
    std::wstring ClassName;
    std::wstring Title;
    LONG Style = 0;
    LONG ExStyle = 0;
    HWND Owner = nullptr;
    std::vector<std::wstring> Texts;  // non-empty static texts, in child order
    std::vector<FButtonInfo> Buttons; // visible buttons, in child order
    std::wstring EditText;            // the first edit or rich-edit control's content
    LRESULT EditLimit = 0;            // and its text limit
};

// The next visible dialog (class #32770) of the process, or of any process when processId is 0;
// nullptr when none shows within the time.
HWND WaitForDialog(DWORD processId, DWORD timeoutMs);

bool WaitUntilClosed(HWND window, DWORD timeoutMs);

FWindowInfo DescribeWindow(HWND window);

// The texts of the visible buttons, joined with '|', for short descriptions.
std::wstring ButtonList(const FWindowInfo& info);

bool ClickButton(HWND dialog, int id);

// A real Escape key press on the dialog's focused control, through the dialog's own message loop.
bool PressEscape(HWND dialog);

// The close box of the caption (the system menu's Close).
bool PressCloseBox(HWND dialog);

// Selects the folder in a shell folder picker, possibly of another process, and presses OK; true
// when the picker closed with that folder selected.
bool ChooseFolderInPicker(HWND picker, const std::wstring& folder);

// Saves the window's area of the X screen as PNG at the given Linux path (ImageMagick under Wine).
bool SaveScreenshot(HWND window, const std::string& unixPngPath);
