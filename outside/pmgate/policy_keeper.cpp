// Portable: one round of a machine's policies.
#include "outside/pmgate/policy_keeper.h"

namespace pm::gate {
bool PolicyKeeper::Reconcile(const std::vector<remote::PolicyAt>& policies, uint64_t now_ms,
                             remote::Compliance& record) {
    remote::Seen seen;
    if (!hands_.observe(seen)) return false;
    remote::Plan plan = remote::PlanFor(machine_, policies, seen);
    for (const remote::Action& a : plan.actions) {
        const std::string failed = hands_.act(a);
        for (size_t r : a.reports) {
            remote::ItemReport& item = plan.reports[r];
            // An item with several actions (a forbidden name running twice) fails with any.
            if (!failed.empty()) {
                item.state = remote::ItemState::kFailed;
                item.did = "could not: " + failed;
            } else if (item.state != remote::ItemState::kFailed) {
                item.did = remote::ActionText(a.kind, true);
            }
        }
    }
    record = remote::Compliance();
    record.machine = machine_;
    record.time_ms = now_ms;
    record.items = std::move(plan.reports);
    return true;
}

uint64_t PolicyKeeper::NextDelayMs(const std::vector<remote::PolicyAt>& policies,
                                   const remote::Compliance& record) const {
    for (const remote::ItemReport& r : record.items)
        if (r.state == remote::ItemState::kDrifted && !r.did.empty() && r.did != "reported")
            return kRecheckMs;
    return IntervalMs(policies);
}

} // namespace pm::gate
