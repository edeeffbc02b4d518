// One simulated machine of pmsim, as the gate's local node: the agent's own process list (its
// table, change clock and update records) over a synthetic list of processes that start and
// end at a set rate. The gate's own core does the rest (rules, statuses, pieces, presence). A
// load generator for the fleet side, never a stand-in for the agent in its own tests.
// Portable: no OS code, no NATS here.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "outside/pmgate/gate_core.h"
#include "outside/pmgate/local_node.h"
#include "procman/w32/process_list/process_list.h"

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

class SimMachine final : public gate::LocalNode {
public:
    SimMachine(MachineSpec spec, std::shared_ptr<const StringTable> strings);

    // Ends `n` processes and starts as many new ones (the next update shows the change).
    void Churn(uint32_t n);

    // What the machine's gate runs with: a simulated machine changes nothing, so only the
    // agent's reading codes are allowed; the monitor host's go through and find no host.
    // Unlike a gate, it answers every discovery.
    [[nodiscard]] gate::GateSettings GateSettings(uint32_t heartbeat_s) const;

    // The agent runs (version "sim"), the monitor host does not; updates and configuration
    // are answered by the agent's own code, at once.
    [[nodiscard]] bool Running(const std::string& node) const override;
    [[nodiscard]] std::string Version(const std::string& node) const override;
    void Send(std::unique_ptr<gate::NodeRequest> request) override;

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
};

} // namespace pm::sim
