#include "ManifestContext.h"

#include <vector>

namespace
{
constexpr std::size_t SettingCapacity = 256;

// One piece of the context's information, in a buffer of the size the query asks for.
std::vector<BYTE> QueryContext(HANDLE context, DWORD* index, ULONG infoClass)
{
    SIZE_T size = 0;
    QueryActCtxW(0, context, index, infoClass, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !QueryActCtxW(0, context, index, infoClass, buffer.data(), size, &size))
    {
        buffer.clear();
    }
    return buffer;
}
} // namespace

FManifestContext::FManifestContext(const std::wstring& program)
{
    ACTCTXW context = {};
    context.cbSize = sizeof(context);
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = program.c_str();
    context.lpResourceName = CREATEPROCESS_MANIFEST_RESOURCE_ID;
    Context = CreateActCtxW(&context);
    CreateError = Context == INVALID_HANDLE_VALUE ? GetLastError() : 0;
}

FManifestContext::~FManifestContext()
{
    Deactivate();
    if (Context != INVALID_HANDLE_VALUE)
    {
        ReleaseActCtx(Context);
    }
}

bool FManifestContext::Activate()
{
    IsActive = Valid() && !IsActive && ActivateActCtx(Context, &Cookie);
    return IsActive;
}

void FManifestContext::Deactivate()
{
    if (IsActive)
    {
        DeactivateActCtx(0, Cookie);
        IsActive = false;
    }
}

std::wstring FManifestContext::Setting(const wchar_t* name) const
{
    wchar_t value[SettingCapacity] = {};
    SIZE_T written = 0;
    // No namespace: the one of the first windowsSettings, where dpiAware lives.
    if (!Valid() || !QueryActCtxSettingsW(0, Context, nullptr, name, value, SettingCapacity, &written))
    {
        return std::wstring();
    }
    return value;
}

bool FManifestContext::Dependency(const std::wstring& name, std::wstring& identity,
                                  std::wstring& folder) const
{
    identity.clear();
    folder.clear();
    if (!Valid())
    {
        return false;
    }
    const std::vector<BYTE> context = QueryContext(Context, nullptr, ActivationContextDetailedInformation);
    if (context.empty())
    {
        return false;
    }
    const auto* details = reinterpret_cast<const ACTIVATION_CONTEXT_DETAILED_INFORMATION*>(context.data());
    // Assembly 1 is the program itself.
    for (DWORD index = 2; index <= details->ulAssemblyCount; ++index)
    {
        const std::vector<BYTE> assembly =
            QueryContext(Context, &index, AssemblyDetailedInformationInActivationContext);
        if (assembly.empty())
        {
            continue;
        }
        const auto* info =
            reinterpret_cast<const ACTIVATION_CONTEXT_ASSEMBLY_DETAILED_INFORMATION*>(assembly.data());
        const std::wstring found = info->lpAssemblyEncodedAssemblyIdentity != nullptr
                                       ? info->lpAssemblyEncodedAssemblyIdentity
                                       : L"";
        if (found.rfind(name + L",", 0) == 0)
        {
            identity = found;
            folder = info->lpAssemblyDirectoryName != nullptr ? info->lpAssemblyDirectoryName : L"";
            return true;
        }
    }
    return false;
}
