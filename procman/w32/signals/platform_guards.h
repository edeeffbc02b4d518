// Scope guards that close what a SignalPlatform holds, on every path out of a scope.
// Portable: no OS code here.
#pragma once

#include "procman/w32/signals/signal_platform.h"

namespace pm::signals {

template <void (SignalPlatform::*CloseFn)()> class PlatformGuard {
public:
    explicit PlatformGuard(SignalPlatform& p) : p_(p) {}
    ~PlatformGuard() { Close(); }
    PlatformGuard(const PlatformGuard&) = delete;
    PlatformGuard& operator=(const PlatformGuard&) = delete;
    // Closes now (for a trace or result that must come after the close).
    void Close() {
        if (held_) (p_.*CloseFn)();
        held_ = false;
    }

private:
    SignalPlatform& p_;
    bool held_ = true;
};

using ProcessGuard = PlatformGuard<&SignalPlatform::CloseProcess>;
using ThreadSnapshotGuard = PlatformGuard<&SignalPlatform::CloseThreadSnapshot>;
using ServiceManagerGuard = PlatformGuard<&SignalPlatform::CloseServiceManager>;
using ServiceGuard = PlatformGuard<&SignalPlatform::CloseService>;

} // namespace pm::signals
