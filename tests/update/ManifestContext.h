#pragma once

// What Windows' loader makes of a program's application manifest: the activation context built from
// it, the settings it reads from it and the assemblies its dependencies resolve to.

#include <windows.h>

#include <string>

class FManifestContext
{
public:
    // Built from manifest resource 1 of the program file, as Windows does when it starts the program.
    explicit FManifestContext(const std::wstring& program);
    ~FManifestContext();
    FManifestContext(const FManifestContext&) = delete;
    FManifestContext& operator=(const FManifestContext&) = delete;

    // False when the loader refused the manifest; Error() then tells why.
    bool Valid() const { return Context != INVALID_HANDLE_VALUE; }
    DWORD Error() const { return CreateError; }

    // Makes the context the active one of this thread, as it is for the whole run of the program,
    // until Deactivate().
    bool Activate();
    void Deactivate();

    // A setting of the manifest's windowsSettings as the loader reads it ("dpiAware"); empty when unset.
    std::wstring Setting(const wchar_t* name) const;

    // The identity ("name,processorArchitecture=...,version=...") and the side-by-side folder of the
    // assembly of that name that a dependency resolved to; false when there is none.
    bool Dependency(const std::wstring& name, std::wstring& identity, std::wstring& folder) const;

private:
    HANDLE Context = INVALID_HANDLE_VALUE;
    DWORD CreateError = 0;
    ULONG_PTR Cookie = 0;
    bool IsActive = false;
};
