#include "LicenseDialog.h"

#include <objbase.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int /*show*/)
{
    CoInitialize(nullptr);
    LoadRichEditLibrary();
    RunLicenseDialog(instance);
    CoUninitialize();
    return 0;
}
