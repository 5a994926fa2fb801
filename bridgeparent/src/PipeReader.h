// The reading end of the bridge's output: one overlapped read kept pending, so that an event is
// signalled as soon as bytes arrive, and a watch on the writing process, so that the reader knows
// when no more bytes can come even while another process holds the pipe's writing end open.
#pragma once

#include "OwnedHandle.h"

#include <windows.h>

#include <cstdint>
#include <vector>

class FPipeReader
{
public:
    FPipeReader() = default;
    FPipeReader(const FPipeReader&) = delete;
    FPipeReader& operator=(const FPipeReader&) = delete;
    ~FPipeReader();

    // Starts reading the pipe (a reading end opened for overlapped I/O) written by the given process,
    // which must stay open while the reader is. False, with the Windows error, when the event or the
    // watch on the process could not be made.
    bool Open(FOwnedHandle pipe, HANDLE writer, DWORD& error);

    // Appends what has arrived to the bytes given and keeps a read pending. Once the writer has
    // ended, the bytes it wrote before are appended and the reader has ended. Never waits for the
    // writer; only for a read that it has cancelled, which Windows completes at once.
    void Collect(std::vector<uint8_t>& into);

    // No more bytes can come: the pipe has broken, or the writing process has ended.
    bool Ended() const { return HasEnded; }
    // Why: ERROR_BROKEN_PIPE (or another read error), or 0 when the writing process ended while
    // another process still held the pipe's writing end.
    DWORD EndError() const { return EndReason; }

    // Signalled once bytes have arrived that Collect has not taken, once the writer has ended, and
    // from then on. Null while not open.
    HANDLE Event() const { return ReadEvent.Get(); }

    // Sleeps until the event is signalled, the writer ends or timeoutMs have passed. False, with the
    // Windows error, when the wait itself failed.
    bool Wait(DWORD timeoutMs, DWORD& error) const;

    // Stops the pending read and the watch, and closes the pipe and the event.
    void Close();

private:
    void StartRead();
    void TakeRest(std::vector<uint8_t>& into);
    void End(DWORD reason);

    FOwnedHandle Pipe;
    FOwnedHandle ReadEvent;
    HANDLE Writer = nullptr;
    HANDLE WriterWatch = nullptr;
    OVERLAPPED Overlapped = {};
    std::vector<uint8_t> Buffer;
    bool Pending = false;
    bool HasEnded = false;
    DWORD EndReason = 0;
};
