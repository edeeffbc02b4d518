// Portable: no OS code here.
#include "procman/com/pid_table.h"

#include <algorithm>

namespace pm::monitor {

void PidTable::Clear() {
    slots_.clear();
    used_ = 0;
    if (++generation_ == 0) { // wrapped: forget every stamp
        std::fill(stamps_.begin(), stamps_.end(), 0);
        generation_ = 1;
    }
}

uint32_t PidTable::Bucket(uint32_t pid) const {
    // Process ids are multiples of 4 on Windows: mix the bits before masking.
    uint32_t h = pid * 0x9E3779B1u;
    h ^= h >> 15;
    return h & static_cast<uint32_t>(keys_.size() - 1);
}

uint32_t PidTable::First(uint32_t pid) const {
    if (keys_.empty()) return kNone;
    const uint32_t mask = static_cast<uint32_t>(keys_.size() - 1);
    for (uint32_t b = Bucket(pid);; b = (b + 1) & mask) {
        if (stamps_[b] != generation_) return kNone;
        if (keys_[b] == pid) return heads_[b];
    }
}

void PidTable::Grow() {
    const size_t size = keys_.empty() ? 64 : keys_.size() * 2;
    keys_.assign(size, 0);
    heads_.assign(size, kNone);
    stamps_.assign(size, 0);
    generation_ = 1;
    used_ = 0;
    // Re-link every slot.
    std::vector<Slot> old;
    old.swap(slots_);
    for (const Slot& s : old)
        Add(s.pid, s.monitor, s.index);
}

void PidTable::Add(uint32_t pid, ProcMonitor* monitor, uint32_t index) {
    if ((used_ + 1) * 2 > keys_.size()) Grow();
    const uint32_t mask = static_cast<uint32_t>(keys_.size() - 1);
    uint32_t b = Bucket(pid);
    while (stamps_[b] == generation_ && keys_[b] != pid)
        b = (b + 1) & mask;
    const uint32_t slot = static_cast<uint32_t>(slots_.size());
    if (stamps_[b] != generation_) {
        stamps_[b] = generation_;
        keys_[b] = pid;
        heads_[b] = slot;
        ++used_;
        slots_.push_back({monitor, index, pid, kNone});
        return;
    }
    slots_.push_back({monitor, index, pid, heads_[b]});
    heads_[b] = slot;
}

} // namespace pm::monitor
