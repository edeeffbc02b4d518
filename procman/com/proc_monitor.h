// The process monitors and their registry: a circular doubly linked ring reached through its
// head. A new monitor goes in right after the head (or becomes the head of an empty ring), so
// monitors created A, B, C are visited A, C, B. Portable: no OS code here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "shared/monitor/definitions_file.h"

namespace pm::monitor {

struct TrackedProcess {
    static constexpr uint16_t kSeen = 0x0001;
    uint16_t flags = 0;
    uint32_t pid = 0;
};

// A statistic kept for today and yesterday, today's first.
using DayPair = std::array<uint32_t, 2>;
constexpr size_t kToday = 0;
constexpr size_t kYesterday = 1;

struct ProcMonitor {
    ProcMonitor* next = nullptr;
    ProcMonitor* previous = nullptr;
    std::vector<TrackedProcess> tracked;
    uint32_t not_started_ms = 0;
    // The monitor's own record (name bare and upper-cased) and its owner id.
    DefinitionEntry definition;
    uint32_t current_count = 0;
    DayPair new_executions{};
    DayPair max_running{};
    DayPair execution_seconds{};
    bool running_at_last_pulse = false;
    uint32_t times_started = 0;
    uint32_t times_stopped = 0;
    uint32_t times_failed = 0;
    bool has_started = false;
    // One per alert node: started, stopped, failed to start.
    std::array<bool, 3> first_read{true, true, true};

    // Position in the visiting order, set by the registry's walk at each pulse.
    size_t visit_order = 0;

    [[nodiscard]] const std::vector<uint8_t>& Record() const { return definition.record; }
    [[nodiscard]] uint32_t Key() const { return ReadU32(&Record()[kKeyAt]); }
    [[nodiscard]] uint16_t NameOffset() const { return ReadU16(&Record()[kNameOffsetAt]); }
    [[nodiscard]] uint8_t AlertLevel() const { return Record()[kAlertLevelAt]; }
    [[nodiscard]] uint8_t Conditions() const { return Record()[kConditionsAt]; }
    [[nodiscard]] uint16_t StartTimeout() const { return ReadU16(&Record()[kStartTimeoutAt]); }
    // The stored name (bare, upper case), without its NUL.
    [[nodiscard]] const char* Name() const {
        return reinterpret_cast<const char*>(&Record()[NameOffset()]);
    }
    [[nodiscard]] bool Has(uint8_t condition) const { return (Conditions() & condition) != 0; }
};

class MonitorRegistry {
public:
    MonitorRegistry() = default;
    ~MonitorRegistry() { Clear(); }
    MonitorRegistry(const MonitorRegistry&) = delete;
    MonitorRegistry& operator=(const MonitorRegistry&) = delete;

    // Links a monitor after the head (or as the head of an empty ring); takes it over.
    ProcMonitor* Link(std::unique_ptr<ProcMonitor> monitor);
    // Unlinks and frees; deleting the head makes its successor the head.
    void Delete(ProcMonitor* monitor);
    void Clear();

    [[nodiscard]] ProcMonitor* Head() const { return head_; }
    [[nodiscard]] bool Empty() const { return head_ == nullptr; }
    [[nodiscard]] size_t Size() const { return size_; }

    // Calls fn(monitor) in visiting order: from the head along the next links.
    template <typename Fn> void ForEach(Fn&& fn) const {
        ProcMonitor* m = head_;
        if (!m) return;
        do {
            ProcMonitor* next = m->next;
            fn(*m);
            m = next;
        } while (m != head_);
    }

private:
    ProcMonitor* head_ = nullptr;
    size_t size_ = 0;
};

// A monitor built from a record as creation builds it: the first `name_offset` bytes of the
// given record, then the stored name (`name` is the bare name before upper-casing) and its NUL,
// `length` rewritten; counters zero and the first-read flags set. The record must be well formed
// (IsWellFormedRecord). Null when the result would not fit a 16-bit length.
std::unique_ptr<ProcMonitor> BuildMonitor(const uint8_t* record, const std::string& bare_name,
                                          const OwnerId& owner);

} // namespace pm::monitor
