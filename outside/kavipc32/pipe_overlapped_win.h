// Overlapped pipe I/O with bounded waits. A receiver's blocking call also waits on its
// listener's stop event, so that deleting a node never hangs on a silent peer; a sender's write
// is cancelled when the peer does not read in time.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "outside/kavipc32/frame.h"
#include "shared/base/win_handles.h"

namespace kavipc {

enum class PipeIo { kDone, kMoreData, kFailed, kStopped };

struct OverlappedOp {
    OVERLAPPED ov{};
    pm::win::unique_handle event{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    // ReadFile and WriteFile reset the event when they start, so a read or write needs no
    // ResetEvent of its own (it would cost a call to the system per operation). A signal that
    // is left over all the same only wakes a waiter, which then finds the OVERLAPPED still
    // pending (HasOverlappedIoCompleted) and waits again.
    OVERLAPPED* Next();
    // ConnectNamedPipe: reset explicitly; the accept path may also set the event by hand.
    OVERLAPPED* NextReset();
};

// Ends an overlapped operation that may still be in progress: cancels it and waits up to
// `wait_ms`, then disconnects the pipe and waits as long again. False when it still has not
// ended (its OVERLAPPED and buffer must then stay allocated).
bool EndPending(HANDLE h, OverlappedOp& op, DWORD wait_ms);

// One pipe message into `buf`, waiting for it, for `stop` (may be null: no stop) or for
// `timeout`; kStopped when either of those came first (the read is cancelled).
PipeIo ReadChunk(HANDLE h, OverlappedOp& op, uint8_t* buf, DWORD size, HANDLE stop, DWORD* bytes,
                 DWORD timeout = INFINITE);

// A write that does not finish within `timeout` is cancelled: a peer that never reads must not
// hold the writer. Answers kStopped then. Without `op` the write blocks (a handle opened
// without FILE_FLAG_OVERLAPPED).
PipeIo WriteChunk(HANDLE h, OverlappedOp* op, const uint8_t* data, DWORD size, DWORD timeout);

// The whole frame within `timeout` (each chunk gets the time still left).
PipeIo WriteFrameTo(HANDLE h, OverlappedOp* op, FrameKind kind, const uint8_t* data, size_t size,
                    DWORD timeout = INFINITE);

} // namespace kavipc
