// A machine's policies kept by its gate: one round reads what the machine shows (its hands'
// `observe`), plans against the policies that name it (shared/remote/policy_plan.h), acts
// through its hands in the plan's order and returns the machine's compliance record with what
// each action came to. The gate runs it over its agent and monitor host; pmsim over a simulated
// machine. Portable: no thread, no NATS; the caller reads the policies and stores the record.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "shared/remote/compliance.h"
#include "shared/remote/policy_plan.h"

namespace pm::gate {

struct PolicyHands {
    // What the machine shows now; false when it cannot be read (the agent does not answer).
    std::function<bool(remote::Seen& seen)> observe;
    // Does one action; "" when done, else what went wrong in words.
    std::function<std::string(const remote::Action& a)> act;
};

class PolicyKeeper {
public:
    PolicyKeeper(std::string machine, PolicyHands hands)
        : machine_(std::move(machine)), hands_(std::move(hands)) {}

    // One round against `policies`; false (and no record) when the machine could not be read.
    bool Reconcile(const std::vector<remote::PolicyAt>& policies, uint64_t now_ms,
                   remote::Compliance& record);

    // The shortest interval of the policies that name this machine (0: none names it).
    [[nodiscard]] uint64_t IntervalMs(const std::vector<remote::PolicyAt>& policies) const {
        return remote::ShortestIntervalMs(machine_, policies);
    }

    // When the next round is due after `record`: soon (kRecheckMs) when it acted, so that
    // the machine reports the outcome instead of the drift it corrected; else the interval.
    [[nodiscard]] uint64_t NextDelayMs(const std::vector<remote::PolicyAt>& policies,
                                       const remote::Compliance& record) const;
    static constexpr uint64_t kRecheckMs = 1000;

    [[nodiscard]] const std::string& Machine() const { return machine_; }

private:
    std::string machine_;
    PolicyHands hands_;
};

} // namespace pm::gate
