// The console's own copy of the agent's tables, kept up to date from Get Updates replies the
// way the management console does it: the clock to send next time, the list of process ids
// still valid, and one update record per new or changed entry. Portable; every byte of a
// reply is checked before it is read.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pm::console {

struct ProcessRow {
    uint32_t process_id = 0;
    std::string name; // UTF-8
    std::string user; // UTF-8; NT mode only
    uint32_t parent_process_id = 0;
    uint32_t threads = 0;
    uint32_t priority = 0; // index into the priority enumeration
    uint32_t monitored = 0;
    uint32_t memory = 0;
    bool has_user = false, has_parent = false, has_memory = false;
    uint64_t order = 0; // arrival order, for a stable listing
};

struct ServiceRow {
    std::string name; // UTF-8
    uint32_t state = 0;
    uint64_t order = 0;
};

// Converts a compressed-unicode text to UTF-8 for display.
using TextDecoder = std::string (*)(const std::string& compressed);

class ConsoleTables {
public:
    explicit ConsoleTables(TextDecoder decode) : decode_(decode) {}

    // Applies one reply's items, as a reply carries them or as bytes. false (with a reason)
    // for a malformed item; the items before it stay applied, as a console would have taken
    // them.
    bool Apply(const std::vector<std::string>& items, std::string* error);
    bool Apply(const std::vector<std::vector<uint8_t>>& items, std::string* error);

    uint32_t clock() const { return clock_; }
    std::vector<ProcessRow> Processes() const;              // in arrival order
    std::vector<ServiceRow> Services(uint32_t group) const; // groups 2 and 3
    size_t changes_in_last_reply() const { return last_changes_; }

private:
    template <class Items> bool ApplyItems(const Items& items, std::string* error);
    bool ApplyRecord(const uint8_t* p, size_t n, std::string* error);

    TextDecoder decode_;
    uint32_t clock_ = 0;
    uint64_t next_order_ = 0;
    size_t last_changes_ = 0;
    std::map<uint32_t, ProcessRow> processes_;
    std::map<std::string, ServiceRow> services_[2];
};

} // namespace pm::console
