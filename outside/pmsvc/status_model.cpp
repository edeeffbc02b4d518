#include "outside/pmsvc/status_model.h"

namespace pmsvc {

StatusReport StatusSequence::Next(SvcState state, uint32_t wait_hint_ms, uint32_t exit_code) {
    StatusReport r;
    r.state = state;
    r.exit_code = exit_code;
    const bool pending = state == SvcState::kStartPending || state == SvcState::kStopPending;
    if (pending) {
        r.checkpoint = ++checkpoint_;
        r.wait_hint_ms = wait_hint_ms;
    } else {
        checkpoint_ = 0;
    }
    if (state == SvcState::kRunning) r.controls_accepted = kAcceptStop | kAcceptShutdown;
    return r;
}

} // namespace pmsvc
