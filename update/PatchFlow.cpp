#include "PatchFlow.h"

#include "LicenseDialog.h"
#include "PatchFiles.h"

#include <objbase.h>

namespace
{
const wchar_t* const MessageCaption = L"Patch KVT";
const wchar_t ConfirmFormat[] = L"Would you like to apply the patch to\n'%s'?";
const wchar_t NotInstalledFormat[] = L"Karveth does not seem to be installed at '%s'";
const wchar_t* const FailedText = L"Failed to apply patch!";
const wchar_t* const PatchedText = L"KVT was successfully patched!";
const wchar_t* const NotAppliedText = L"The patch was not applied!";

// Room for either formatted text with the longest candidate path.
constexpr std::size_t MessageBufferSize = PathBufferSize + 64;
static_assert(sizeof(ConfirmFormat) / sizeof(wchar_t) + PathBufferSize <= MessageBufferSize, "");
static_assert(sizeof(NotInstalledFormat) / sizeof(wchar_t) + PathBufferSize <= MessageBufferSize, "");

// Every message stays on top and has no owner window.
int ShowMessage(const wchar_t* text, UINT buttons)
{
    return MessageBoxW(nullptr, text, MessageCaption, buttons | MB_TOPMOST);
}
} // namespace

bool ApplyPatchTo(const wchar_t (&path)[PathBufferSize])
{
    wchar_t text[MessageBufferSize];
    if (IsInstallDirectory(path))
    {
        wsprintfW(text, ConfirmFormat, path);
        if (ShowMessage(text, MB_YESNO) != IDYES)
        {
            return false;
        }
        return CopyPatchFiles(path);
    }
    wsprintfW(text, NotInstalledFormat, path);
    ShowMessage(text, MB_OK);
    return false;
}

int RunPatchInstaller(HINSTANCE instance)
{
    CoInitialize(nullptr);
    LoadRichEditLibrary();

    const wchar_t* finalText = NotAppliedText;
    if (RunLicenseDialog(instance) == LicenseAccepted)
    {
        wchar_t candidate[PathBufferSize] = {};
        bool patched = false;
        // Every key is visited, even after a success.
        for (const wchar_t* keyPath : InstallKeyPaths)
        {
            if (!ReadInstallLocation(keyPath, candidate))
            {
                continue;
            }
            if (ApplyPatchTo(candidate))
            {
                patched = true;
            }
            else
            {
                ShowMessage(FailedText, MB_OK);
            }
        }

        if (patched)
        {
            finalText = PatchedText;
        }
        else if (BrowseForInstallDirectory(candidate))
        {
            if (ApplyPatchTo(candidate))
            {
                finalText = PatchedText;
            }
            else
            {
                ShowMessage(FailedText, MB_OK);
            }
        }
    }

    ShowMessage(finalText, MB_OK);
    DeletePatchFiles();
    CoUninitialize();
    return 0;
}
