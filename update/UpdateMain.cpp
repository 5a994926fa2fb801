#include "PatchFlow.h"

// No command line, no settings: everything Update needs is beside it or in the registry.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int /*show*/)
{
    return RunPatchInstaller(instance);
}
