// One simulated machine of pmsim: the agent's own process list (its table, change clock and
// update records) over a synthetic list of processes that start and end at a set rate, and
// the gate's answer to each request on the machine's subjects. A load generator for the fleet
// side, never a stand-in for the agent in its own tests. Portable: no OS code, no NATS here.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "procman/w32/process_list/process_list.h"
#include "shared/remote/presence.h"
#include "shared/remote/statuses.h"

namespace pm::sim {

// String resources by id (column titles, signal and enumeration names).
using StringTable = std::vector<std::pair<unsigned, std::string>>;

// The English table of a .rc file's first STRINGTABLE: `ID, "text"` lines.
StringTable ReadStringTable(const std::string& rc_text);

struct MachineSpec {
    std::string name;        // sim1 ..
    uint32_t processes = 60; // running at any time
    uint32_t seed = 1;
};

class SimMachine {
public:
    SimMachine(MachineSpec spec, std::shared_ptr<const StringTable> strings);

    // Ends `n` processes and starts as many new ones (the next update shows the change).
    void Churn(uint32_t n);

    struct Answer {
        remote::GateStatus status = remote::GateStatus::kMalformed;
        std::string reply; // the reply message when status is kReply
    };
    // The request on `subject` with these payload bytes, answered as the gate and the agent
    // would: updates and configuration by the agent's code; the monitor host is not there.
    Answer Handle(const std::string& subject, const std::string& payload);

    [[nodiscard]] remote::Presence Presence(const std::string& kind, uint64_t uptime_s,
                                            uint32_t heartbeat_s) const;
    [[nodiscard]] const std::string& Name() const { return spec_.name; }

private:
    std::unique_ptr<table::RawTable> Snapshot();

    MachineSpec spec_;
    std::shared_ptr<const StringTable> strings_;
    std::mutex lock_; // the synthetic list
    std::vector<uint32_t> pids_;
    uint32_t next_pid_ = 1000;
    std::mt19937 random_;
    std::unique_ptr<ProcessList> list_;
    remote::GateRules rules_;
};

} // namespace pm::sim
