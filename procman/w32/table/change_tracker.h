// Change clock and stamps over successive snapshots, and the update records newer than the
// console's clock. Portable; the process list wraps it with its lock and the command.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "procman/w32/table/raw_table.h"

namespace pm::table {

class ChangeTracker {
public:
    // Makes next the current snapshot, stamping what is new or changed since the previous one.
    // Costs time linear in the number of entries: the old snapshot is indexed by process id
    // and by display name.
    void Renew(std::unique_ptr<RawTable> next);

    // Reply items for a console whose last clock is since: the clock (4 bytes), then
    // ProcMgrValidProcIDs when processes vanished after since, then one update record per
    // entry stamped after since (processes, then groups 2 and 3). A record that could not be
    // allocated is null.
    std::vector<Record> CollectUpdates(uint32_t since) const;

    uint32_t Clock() const { return clock_; }
    uint32_t RemovalStamp() const { return removal_stamp_; }
    const RawTable* Current() const { return current_.get(); }
    const std::vector<uint32_t>& ProcessStamps() const { return process_stamps_; }
    const std::vector<uint32_t>& GroupStamps(uint32_t group) const;

    // An entry is newer than v when stamp - v, as a signed 32-bit number, is above 0.
    static bool Newer(uint32_t stamp, uint32_t v) { return static_cast<int32_t>(stamp - v) > 0; }

private:
    uint32_t clock_ = 0;
    uint32_t removal_stamp_ = 0;
    std::unique_ptr<RawTable> current_;
    std::vector<uint32_t> process_stamps_;
    std::vector<uint32_t> group_stamps_[kServiceSlots];
};

} // namespace pm::table
