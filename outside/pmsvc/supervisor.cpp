#include "outside/pmsvc/supervisor.h"

#include <cstdio>

#include "outside/pmsvc/restart_policy.h"

namespace pmsvc {

std::vector<PieceSpec> PlanPieces(bool gate_configured, bool gate_present) {
    // The host first: the agent forwards monitor commands to it. The gate last: it serves
    // the agent's and the host's nodes to the network.
    std::vector<PieceSpec> plan = {{"pmhost.exe", "KAVMonitorClientNC"},
                                   {"quorlent.exe", "ProcMgr"}};
    if (gate_configured && gate_present) plan.push_back({"pmgate.exe", "pmgate"});
    return plan;
}

Supervisor::Supervisor(std::vector<PieceSpec> specs, uint64_t now_ms) {
    for (auto& s : specs) {
        Piece p;
        p.spec = std::move(s);
        p.due_ms = now_ms;
        pieces_.push_back(std::move(p));
    }
}

std::vector<size_t> Supervisor::DueNow(uint64_t now_ms) const {
    std::vector<size_t> due;
    if (stopping_) return due;
    for (size_t i = 0; i < pieces_.size(); ++i)
        if (!pieces_[i].running && WaitFor(pieces_[i], now_ms) == 0) due.push_back(i);
    return due;
}

uint32_t Supervisor::WaitMs(uint64_t now_ms) const {
    if (stopping_) return kForever;
    uint64_t best = kForever;
    for (const auto& p : pieces_) {
        if (p.running) continue;
        uint64_t wait = WaitFor(p, now_ms);
        if (wait < best) best = wait;
    }
    return static_cast<uint32_t>(best);
}

uint64_t Supervisor::WaitFor(const Piece& p, uint64_t now_ms) {
    if (p.due_ms <= now_ms) return 0;
    // A clock that went back (or a due time from a reading that jumped ahead) never delays a
    // restart beyond the longest back-off.
    uint64_t wait = p.due_ms - now_ms;
    return wait > kMaxRestartDelayMs ? 0 : wait;
}

void Supervisor::OnStarted(size_t i, uint64_t now_ms) {
    pieces_[i].running = true;
    pieces_[i].started_ms = now_ms;
}

RestartDecision Supervisor::OnStartFailed(size_t i, uint64_t now_ms) {
    return Schedule(pieces_[i], now_ms, 0);
}

RestartDecision Supervisor::OnExited(size_t i, uint64_t now_ms) {
    Piece& p = pieces_[i];
    uint64_t ran = now_ms > p.started_ms ? now_ms - p.started_ms : 0;
    return Schedule(p, now_ms, ran);
}

RestartDecision Supervisor::Schedule(Piece& p, uint64_t now_ms, uint64_t ran_ms) {
    p.running = false;
    p.failures_in_row = NextFailureCount(p.failures_in_row, ran_ms);
    RestartDecision d;
    d.failures_in_row = p.failures_in_row;
    d.delay_ms = RestartDelayMs(p.failures_in_row);
    p.due_ms = now_ms + d.delay_ms;
    return d;
}

std::string DescribeExit(const PieceSpec& spec, uint32_t exit_code, const RestartDecision& next) {
    char line[256];
    if (next.delay_ms == 0) {
        std::snprintf(line, sizeof line, "%s ended unexpectedly (exit code %lu); restarting it now",
                      spec.program.c_str(), static_cast<unsigned long>(exit_code));
    } else {
        std::snprintf(line, sizeof line,
                      "%s ended unexpectedly (exit code %lu), %lu times in a row; restarting it "
                      "in %lu s",
                      spec.program.c_str(), static_cast<unsigned long>(exit_code),
                      static_cast<unsigned long>(next.failures_in_row),
                      static_cast<unsigned long>(next.delay_ms / 1000));
    }
    return line;
}

} // namespace pmsvc
