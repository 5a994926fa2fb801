#include "LibrarySearch.h"

#include <windows.h>

namespace
{
using FSetDefaultDllDirectories = BOOL(WINAPI*)(DWORD);
}

bool RestrictLibrarySearchToSystemFolder()
{
    // Looked up rather than imported: an import the system lacks would keep the program from starting
    // at all. kernel32 is always loaded, so asking for it loads nothing.
    const auto setDefaultDllDirectories = reinterpret_cast<FSetDefaultDllDirectories>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    return setDefaultDllDirectories != nullptr &&
           setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
}
