// The pieces the service keeps running and what to do when one ends. Portable: the service's
// Win32 loop reports starts and exits with the time, and asks what is due.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pmsvc {

struct PieceSpec {
    std::string program;   // file name beside pmsvc.exe
    std::string quit_node; // node whose quit request stops it; empty: WM_QUIT to its main thread
};

// The pieces in start order: the monitor host, the agent, and the gate when it is both
// configured (pmgate.conf names servers) and present (pmgate.exe beside the service).
[[nodiscard]] std::vector<PieceSpec> PlanPieces(bool gate_configured, bool gate_present);

constexpr uint32_t kForever = 0xFFFFFFFFu;

struct RestartDecision {
    uint32_t delay_ms = 0;
    uint32_t failures_in_row = 0;
};

class Supervisor {
public:
    Supervisor(std::vector<PieceSpec> specs, uint64_t now_ms);

    [[nodiscard]] size_t size() const { return pieces_.size(); }
    [[nodiscard]] const PieceSpec& spec(size_t i) const { return pieces_[i].spec; }
    [[nodiscard]] bool running(size_t i) const { return pieces_[i].running; }
    [[nodiscard]] bool stopping() const { return stopping_; }

    // The pieces to start now, in start order; none once stopping.
    [[nodiscard]] std::vector<size_t> DueNow(uint64_t now_ms) const;
    // Milliseconds until the next start is due (0: now), kForever when none is waiting.
    [[nodiscard]] uint32_t WaitMs(uint64_t now_ms) const;

    void OnStarted(size_t i, uint64_t now_ms);
    // A start that failed, or a piece that ended: when it starts next.
    RestartDecision OnStartFailed(size_t i, uint64_t now_ms);
    RestartDecision OnExited(size_t i, uint64_t now_ms);
    // From here on nothing is started again.
    void BeginStop() { stopping_ = true; }

private:
    struct Piece {
        PieceSpec spec;
        bool running = false;
        uint64_t due_ms = 0;
        uint64_t started_ms = 0;
        uint32_t failures_in_row = 0;
    };
    RestartDecision Schedule(Piece& p, uint64_t now_ms, uint64_t ran_ms);
    static uint64_t WaitFor(const Piece& p, uint64_t now_ms);

    std::vector<Piece> pieces_;
    bool stopping_ = false;
};

// One line for the service's log about an ended piece and its restart.
[[nodiscard]] std::string DescribeExit(const PieceSpec& spec, uint32_t exit_code,
                                       const RestartDecision& next);

} // namespace pmsvc
