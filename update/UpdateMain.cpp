#include "LibrarySearch.h"
#include "PatchFlow.h"

// No command line, no settings: everything Update needs is beside it or in the registry.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int /*show*/)
{
    // First of all, before COM or any window can load a library by its bare name from beside us.
    RestrictLibrarySearchToSystemFolder();
    return RunPatchInstaller(instance);
}
