#include "WriteCounter.h"

#include <cstdint>
#include <cstring>

namespace
{
using FWriteFile = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);

FWriteFile RealWriteFile = nullptr;
volatile LONG Calls = 0;

BOOL WINAPI CountingWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    InterlockedIncrement(&Calls);
    return RealWriteFile(file, data, size, written, overlapped);
}
} // namespace

bool StartCountingWriteFile()
{
    uint8_t* base = reinterpret_cast<uint8_t*>(GetModuleHandleW(nullptr));
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (const IMAGE_IMPORT_DESCRIPTOR* module =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         module->Name != 0; ++module)
    {
        if (_stricmp(reinterpret_cast<const char*>(base + module->Name), "kernel32.dll") != 0)
        {
            continue;
        }
        const IMAGE_THUNK_DATA* names =
            reinterpret_cast<const IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
        IMAGE_THUNK_DATA* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots)
        {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
            {
                continue;
            }
            const IMAGE_IMPORT_BY_NAME* name =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(name->Name), "WriteFile") != 0)
            {
                continue;
            }
            DWORD protection = 0;
            if (!VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &protection))
            {
                return false;
            }
            RealWriteFile = reinterpret_cast<FWriteFile>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(&CountingWriteFile);
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), protection, &protection);
            return true;
        }
    }
    return false;
}

LONG WriteFileCalls()
{
    return Calls;
}

void ResetWriteFileCalls()
{
    InterlockedExchange(&Calls, 0);
}
