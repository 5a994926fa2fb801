// One owner for each Windows handle: closed when its owner goes, moved but never copied.
#pragma once

#include <windows.h>

class FOwnedHandle
{
public:
    FOwnedHandle() = default;
    // Takes the handle; null and INVALID_HANDLE_VALUE (what failing calls return) both mean none.
    explicit FOwnedHandle(HANDLE handle) : Handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    FOwnedHandle(FOwnedHandle&& other) noexcept : Handle(other.Release()) {}
    FOwnedHandle& operator=(FOwnedHandle&& other) noexcept
    {
        if (this != &other)
        {
            Reset(other.Release());
        }
        return *this;
    }
    FOwnedHandle(const FOwnedHandle&) = delete;
    FOwnedHandle& operator=(const FOwnedHandle&) = delete;
    ~FOwnedHandle() { Reset(); }

    HANDLE Get() const { return Handle; }
    explicit operator bool() const { return Handle != nullptr; }
    // Closes the handle held and takes the one given.
    void Reset(HANDLE handle = nullptr)
    {
        if (Handle != nullptr)
        {
            CloseHandle(Handle);
        }
        Handle = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
    }
    HANDLE Release()
    {
        HANDLE handle = Handle;
        Handle = nullptr;
        return handle;
    }

private:
    HANDLE Handle = nullptr;
};
