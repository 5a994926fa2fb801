#include "PipeReader.h"

#include <algorithm>
#include <utility>

namespace
{
// The most one read takes in; more comes in several.
constexpr DWORD ReadBufferSize = 64 * 1024;

// Runs on a thread of the pool once the writer has ended: the event wakes whoever waits on it.
void CALLBACK WriterEnded(void* event, BOOLEAN)
{
    SetEvent(static_cast<HANDLE>(event));
}
} // namespace

FPipeReader::~FPipeReader()
{
    Close();
}

bool FPipeReader::Open(FOwnedHandle pipe, HANDLE writer, DWORD& error)
{
    Close();
    Buffer.resize(ReadBufferSize);
    ReadEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!ReadEvent || !RegisterWaitForSingleObject(&WriterWatch, writer, WriterEnded, ReadEvent.Get(),
                                                   INFINITE, WT_EXECUTEONLYONCE))
    {
        error = GetLastError();
        WriterWatch = nullptr;
        ReadEvent.Reset();
        return false;
    }
    Pipe = std::move(pipe);
    Writer = writer;
    StartRead();
    return true;
}

void FPipeReader::StartRead()
{
    Overlapped = OVERLAPPED();
    Overlapped.hEvent = ReadEvent.Get();
    if (!ReadFile(Pipe.Get(), Buffer.data(), ReadBufferSize, nullptr, &Overlapped) &&
        GetLastError() != ERROR_IO_PENDING)
    {
        End(GetLastError());
        return;
    }
    Pending = true;
}

void FPipeReader::End(DWORD reason)
{
    HasEnded = true;
    EndReason = reason;
    SetEvent(ReadEvent.Get());
}

void FPipeReader::Collect(std::vector<uint8_t>& into)
{
    while (Pipe && !HasEnded)
    {
        if (Pending)
        {
            DWORD read = 0;
            if (!GetOverlappedResult(Pipe.Get(), &Overlapped, &read, FALSE))
            {
                const DWORD error = GetLastError();
                if (error == ERROR_IO_INCOMPLETE)
                {
                    // Checked after the read was started, which cleared the event: a writer that
                    // ended before is seen here, one that ends later signals the event.
                    if (WaitForSingleObject(Writer, 0) == WAIT_OBJECT_0)
                    {
                        TakeRest(into);
                    }
                    return;
                }
                // Windows cancels a read when the thread that started it exits; the caller may go
                // on from another thread, so it is read again.
                if (error != ERROR_OPERATION_ABORTED)
                {
                    Pending = false;
                    End(error);
                    return;
                }
            }
            // Taken before the read counts as done: should the bytes not fit, the next call
            // takes them again.
            into.insert(into.end(), Buffer.begin(), Buffer.begin() + read);
            Pending = false;
        }
        StartRead();
    }
}

// The writer has ended, but the pipe may not break: another process can hold its writing end. What
// the writer wrote is in the pending read or still in the pipe; nothing more will come.
void FPipeReader::TakeRest(std::vector<uint8_t>& into)
{
    for (;;)
    {
        if (Pending)
        {
            CancelIoEx(Pipe.Get(), &Overlapped);
            DWORD read = 0;
            GetOverlappedResult(Pipe.Get(), &Overlapped, &read, TRUE);
            into.insert(into.end(), Buffer.begin(), Buffer.begin() + read);
            Pending = false;
        }
        DWORD available = 0;
        if (!PeekNamedPipe(Pipe.Get(), nullptr, 0, nullptr, &available, nullptr))
        {
            End(GetLastError());
            return;
        }
        if (available == 0)
        {
            End(0);
            return;
        }
        // Bytes are waiting, so this read completes at once.
        Overlapped = OVERLAPPED();
        Overlapped.hEvent = ReadEvent.Get();
        if (!ReadFile(Pipe.Get(), Buffer.data(), std::min(available, ReadBufferSize), nullptr, &Overlapped) &&
            GetLastError() != ERROR_IO_PENDING)
        {
            End(GetLastError());
            return;
        }
        Pending = true;
    }
}

bool FPipeReader::Wait(DWORD timeoutMs, DWORD& error) const
{
    HANDLE waits[] = {ReadEvent.Get(), Writer};
    if (WaitForMultipleObjects(2, waits, FALSE, timeoutMs) == WAIT_FAILED)
    {
        error = GetLastError();
        return false;
    }
    return true;
}

void FPipeReader::Close()
{
    // Waits for a callback that runs, so that the event outlives it.
    if (WriterWatch != nullptr)
    {
        UnregisterWaitEx(WriterWatch, INVALID_HANDLE_VALUE);
        WriterWatch = nullptr;
    }
    // The pending read writes into Buffer and Overlapped until it has finished.
    if (Pending)
    {
        DWORD read = 0;
        CancelIoEx(Pipe.Get(), &Overlapped);
        GetOverlappedResult(Pipe.Get(), &Overlapped, &read, TRUE);
        Pending = false;
    }
    Pipe.Reset();
    ReadEvent.Reset();
    Writer = nullptr;
    HasEnded = false;
    EndReason = 0;
}
