// Portable: no OS code here.
#include "procman/com/proc_monitor.h"

#include <cstring>

#include "shared/monitor/monitor_name.h"

namespace pm::monitor {

ProcMonitor* MonitorRegistry::Link(std::unique_ptr<ProcMonitor> monitor) {
    ProcMonitor* m = monitor.release();
    if (!head_) {
        m->next = m->previous = m;
        head_ = m;
    } else {
        m->previous = head_;
        m->next = head_->next;
        head_->next->previous = m;
        head_->next = m;
    }
    ++size_;
    return m;
}

void MonitorRegistry::Delete(ProcMonitor* m) {
    if (!m) return;
    if (m->next == m) {
        head_ = nullptr;
    } else {
        m->previous->next = m->next;
        m->next->previous = m->previous;
        if (head_ == m) head_ = m->next;
    }
    --size_;
    delete m;
}

void MonitorRegistry::Clear() {
    while (head_)
        Delete(head_);
}

std::unique_ptr<ProcMonitor> BuildMonitor(const uint8_t* record, const std::string& bare_name,
                                          const OwnerId& owner) {
    const size_t name_offset = ReadU16(record + kNameOffsetAt);
    const std::string stored = StoredName(bare_name);
    const size_t length = name_offset + stored.size() + 1;
    if (length > 0xFFFF) return nullptr;
    auto m = std::make_unique<ProcMonitor>();
    std::vector<uint8_t>& r = m->definition.record;
    r.assign(record, record + name_offset);
    r.insert(r.end(), stored.begin(), stored.end());
    r.push_back(0);
    WriteU16(&r[kLengthAt], static_cast<uint16_t>(length));
    m->definition.owner = owner;
    return m;
}

} // namespace pm::monitor
