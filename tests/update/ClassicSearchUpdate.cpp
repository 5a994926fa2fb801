// Update.exe as it would be with the classic library search order: the same installer, resources and
// manifest, but an entry point that leaves the search as Windows starts it. Shows which libraries
// planted beside the program a run would pick up.

#include "PatchFlow.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int /*show*/)
{
    return RunPatchInstaller(instance);
}
