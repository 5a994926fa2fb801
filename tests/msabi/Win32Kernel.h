// The few kernel32 functions the library calls, declared as Windows exports them, because the library
// is built without any Windows headers. kernel32.def lists the same functions for the import library.
#pragma once

#include <stdint.h>

typedef void* HANDLE;

extern "C"
{
    __declspec(dllimport) uint32_t
        __stdcall GetEnvironmentVariableA(const char* name, char* buffer, uint32_t size);
    __declspec(dllimport) HANDLE
        __stdcall CreateFileA(const char* path, uint32_t access, uint32_t share, void* security,
                              uint32_t disposition, uint32_t attributes, HANDLE templateFile);
    __declspec(dllimport) int __stdcall WriteFile(HANDLE file, const void* data, uint32_t size,
                                                  uint32_t* written, void* overlapped);
    __declspec(dllimport) int __stdcall CloseHandle(HANDLE object);
}

constexpr uint32_t FileAppendData = 0x0004;
constexpr uint32_t FileShareRead = 0x0001;
constexpr uint32_t FileShareWrite = 0x0002;
constexpr uint32_t OpenAlways = 4;
constexpr uint32_t FileAttributeNormal = 0x80;
constexpr uint32_t MaxPath = 260;

inline HANDLE InvalidHandleValue()
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}
