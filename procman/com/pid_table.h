// The tracked instances of every monitor by process id, rebuilt at each pulse: an open-address
// table (linear probing) from a process id to a chain of its slots (in no particular order), each
// slot naming a monitor and the instance's index in its tracked array. Clearing is a generation
// step, so a pulse allocates nothing once the table has grown to the machine's process count.
// Portable.
#pragma once

#include <cstdint>
#include <vector>

namespace pm::monitor {

struct ProcMonitor;

class PidTable {
public:
    static constexpr uint32_t kNone = 0xFFFFFFFF;
    struct Slot {
        ProcMonitor* monitor;
        uint32_t index; // in the monitor's tracked array
        uint32_t pid;
        uint32_t next; // next slot of the same pid, kNone at the end
    };

    void Clear();
    void Add(uint32_t pid, ProcMonitor* monitor, uint32_t index);
    // The first slot of the pid, kNone when it has none.
    [[nodiscard]] uint32_t First(uint32_t pid) const;
    [[nodiscard]] const Slot& At(uint32_t slot) const { return slots_[slot]; }

private:
    [[nodiscard]] uint32_t Bucket(uint32_t pid) const;
    void Grow();

    std::vector<Slot> slots_;
    std::vector<uint32_t> keys_;
    std::vector<uint32_t> heads_;
    std::vector<uint32_t> stamps_; // a bucket is in use when its stamp is the generation
    uint32_t generation_ = 1;
    uint32_t used_ = 0;
};

} // namespace pm::monitor
