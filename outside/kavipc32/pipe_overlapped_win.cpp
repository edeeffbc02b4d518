// Overlapped pipe I/O: one wait per operation on its event (and the stop event), bounded.
#include "outside/kavipc32/pipe_overlapped_win.h"

#include <cstring>

#include "outside/kavipc32/node_dispatcher.h"

namespace kavipc {
namespace {

// A time limit as a point on the monotonic clock (0: none, for INFINITE), and what is left of it.
uint64_t DeadlineAfter(DWORD timeout) {
    return timeout == INFINITE ? 0 : MonotonicMs() + timeout;
}
DWORD TimeLeft(uint64_t deadline) {
    if (deadline == 0) return INFINITE;
    const uint64_t now = MonotonicMs();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// Finishes an overlapped operation that ReadFile/WriteFile/ConnectNamedPipe started (ok and
// err are what the call answered); waits for it or for `stop` (may be null: no stop).
PipeIo Finish(HANDLE h, OVERLAPPED* ov, BOOL ok, DWORD err, HANDLE stop, DWORD* bytes,
              DWORD timeout) {
    *bytes = 0;
    if (!ok && err != ERROR_IO_PENDING && err != ERROR_MORE_DATA) return PipeIo::kFailed;
    if (!ok && err == ERROR_IO_PENDING) {
        HANDLE events[2] = {ov->hEvent, stop};
        const uint64_t deadline = DeadlineAfter(timeout);
        for (;;) {
            DWORD w =
                WaitForMultipleObjects(stop != nullptr ? 2 : 1, events, FALSE, TimeLeft(deadline));
            if (w != WAIT_OBJECT_0) {
                CancelIo(h);
                GetOverlappedResult(h, ov, bytes, TRUE);
                return PipeIo::kStopped;
            }
            // The event is a hint; the OVERLAPPED says whether this operation has ended.
            if (HasOverlappedIoCompleted(ov)) break;
            ResetEvent(ov->hEvent);
            if (HasOverlappedIoCompleted(ov)) break; // ended between the check and the reset
        }
    }
    if (GetOverlappedResult(h, ov, bytes, FALSE)) return PipeIo::kDone;
    return GetLastError() == ERROR_MORE_DATA ? PipeIo::kMoreData : PipeIo::kFailed;
}

} // namespace

OVERLAPPED* OverlappedOp::Next() {
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = event.get();
    return &ov;
}

OVERLAPPED* OverlappedOp::NextReset() {
    OVERLAPPED* o = Next();
    ResetEvent(o->hEvent);
    return o;
}

bool EndPending(HANDLE h, OverlappedOp& op, DWORD wait_ms) {
    if (HasOverlappedIoCompleted(&op.ov)) return true;
    CancelIo(h);
    if (WaitForSingleObject(op.event.get(), wait_ms) == WAIT_OBJECT_0) return true;
    DisconnectNamedPipe(h);
    return WaitForSingleObject(op.event.get(), wait_ms) == WAIT_OBJECT_0;
}

PipeIo ReadChunk(HANDLE h, OverlappedOp& op, uint8_t* buf, DWORD size, HANDLE stop, DWORD* bytes,
                 DWORD timeout) {
    OVERLAPPED* ov = op.Next();
    BOOL ok = ReadFile(h, buf, size, nullptr, ov);
    return Finish(h, ov, ok, ok ? 0 : GetLastError(), stop, bytes, timeout);
}

PipeIo WriteChunk(HANDLE h, OverlappedOp* op, const uint8_t* data, DWORD size, DWORD timeout) {
    DWORD written = 0;
    if (op == nullptr) {
        return WriteFile(h, data, size, &written, nullptr) && written == size ? PipeIo::kDone
                                                                              : PipeIo::kFailed;
    }
    OVERLAPPED* ov = op->Next();
    BOOL ok = WriteFile(h, data, size, nullptr, ov);
    PipeIo r = Finish(h, ov, ok, ok ? 0 : GetLastError(), nullptr, &written, timeout);
    if (r == PipeIo::kDone && written != size) return PipeIo::kFailed;
    return r;
}

PipeIo WriteFrameTo(HANDLE h, OverlappedOp* op, FrameKind kind, const uint8_t* data, size_t size,
                    DWORD timeout) {
    const uint64_t deadline = DeadlineAfter(timeout);
    PipeIo result = PipeIo::kDone;
    ForEachChunk(kind, data, size, [&](const uint8_t* chunk, size_t n) {
        result = WriteChunk(h, op, chunk, static_cast<DWORD>(n), TimeLeft(deadline));
        return result == PipeIo::kDone;
    });
    return result;
}

} // namespace kavipc
