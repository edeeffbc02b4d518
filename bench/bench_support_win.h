// What the Windows benchmarks share: a request whose completion sets an event, and a clock.
#pragma once

#include <windows.h>

#include <cstdint>

#include "shared/base/win_handles.h"
#include "shared/node/command.h"

namespace pm::bench {

class WaitedCommand final : public Command {
public:
    explicit WaitedCommand(uint32_t code, DWORD wait_ms = 30000)
        : Command(code), done_(CreateEventA(nullptr, TRUE, FALSE, nullptr)), wait_ms_(wait_ms) {}
    void OnComplete() override { SetEvent(done_.get()); }
    bool Wait() { return WaitForSingleObject(done_.get(), wait_ms_) == WAIT_OBJECT_0; }

private:
    win::unique_handle done_;
    DWORD wait_ms_;
};

// Milliseconds from the performance counter.
inline double Now() {
    LARGE_INTEGER c, f;
    QueryPerformanceCounter(&c);
    QueryPerformanceFrequency(&f);
    return double(c.QuadPart) * 1e3 / double(f.QuadPart);
}

} // namespace pm::bench
