// Portable: decoding of the agent's update records.
#include "outside/console_model/console_tables.h"

#include <algorithm>
#include <set>

#include "shared/base/endian.h"

namespace pm::console {
namespace {

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

} // namespace

template <class Items> bool ConsoleTables::ApplyItems(const Items& items, std::string* error) {
    last_changes_ = 0;
    if (items.empty() || items[0].size() != 4) return Fail(error, "reply has no 4-byte clock");
    for (size_t i = 1; i < items.size(); ++i)
        if (!ApplyRecord(reinterpret_cast<const uint8_t*>(items[i].data()), items[i].size(), error))
            return false;
    clock_ = le::Load32(reinterpret_cast<const uint8_t*>(items[0].data()));
    return true;
}

bool ConsoleTables::Apply(const std::vector<std::string>& items, std::string* error) {
    return ApplyItems(items, error);
}

bool ConsoleTables::Apply(const std::vector<std::vector<uint8_t>>& items, std::string* error) {
    return ApplyItems(items, error);
}

bool ConsoleTables::ApplyRecord(const uint8_t* p, size_t n, std::string* error) {
    if (n < 2) return Fail(error, "record shorter than its type");
    uint16_t type = le::Load16(p);
    if (type == 2) { // ProcMgrValidProcIDs
        if (n < 6) return Fail(error, "short ProcMgrValidProcIDs");
        uint32_t count = le::Load16(p + 2);
        if (n < 6 + 4ull * count)
            return Fail(error, "ProcMgrValidProcIDs holds fewer ids than it says");
        std::set<uint32_t> valid;
        for (uint32_t k = 0; k < count; ++k)
            valid.insert(le::Load32(p + 6 + 4 * k));
        for (auto it = processes_.begin(); it != processes_.end();) {
            if (valid.count(it->first)) {
                ++it;
            } else {
                it = processes_.erase(it);
                ++last_changes_;
            }
        }
        return true;
    }
    if (type != 1) return Fail(error, "unknown record type " + std::to_string(type));
    if (n < 14) return Fail(error, "short update record header");
    uint32_t pid = le::Load32(p + 2), group = le::Load32(p + 6);
    uint32_t count = le::Load16(p + 10), at = le::Load16(p + 12);
    ProcessRow row;
    ServiceRow svc;
    for (uint32_t k = 0; k < count; ++k) {
        if (at + 6 > n) return Fail(error, "attribute past the record's end");
        uint32_t length = le::Load16(p + at), field = le::Load32(p + at + 2);
        if (length < 6 || at + length > n) return Fail(error, "attribute length out of range");
        const uint8_t* v = p + at + 6;
        uint32_t vn = length - 6;
        uint32_t number = vn >= 4 ? le::Load32(v) : 0;
        std::string text;
        if (field == 2 || field == 8) {
            const uint8_t* end = std::find(v, v + vn, uint8_t(0));
            if (end == v + vn) return Fail(error, "text attribute without its zero byte");
            text = decode_(std::string(reinterpret_cast<const char*>(v), end - v));
        }
        switch (field) {
        case 1:
            row.process_id = number;
            break;
        case 2:
            row.name = svc.name = text;
            break;
        case 4:
            row.threads = number;
            break;
        case 6:
            row.parent_process_id = number;
            row.has_parent = true;
            break;
        case 8:
            row.user = text;
            row.has_user = true;
            break;
        case 9:
            row.priority = number;
            break;
        case 15:
            svc.state = number;
            break;
        case 16:
            row.monitored = number;
            break;
        case 17:
            row.memory = number;
            row.has_memory = true;
            break;
        default:
            break; // a newer agent's field: skipped
        }
        at += length;
    }
    ++last_changes_;
    if (group == 1) {
        row.process_id = pid;
        auto it = processes_.find(pid);
        row.order = it == processes_.end() ? next_order_++ : it->second.order;
        processes_[pid] = row;
        return true;
    }
    if (group == 2 || group == 3) {
        auto& slot = services_[group - 2];
        auto it = slot.find(svc.name);
        svc.order = it == slot.end() ? next_order_++ : it->second.order;
        slot[svc.name] = svc;
        return true;
    }
    return Fail(error, "unknown group " + std::to_string(group));
}

std::vector<ProcessRow> ConsoleTables::Processes() const {
    std::vector<ProcessRow> rows;
    for (const auto& [pid, row] : processes_)
        rows.push_back(row);
    std::sort(rows.begin(), rows.end(),
              [](const ProcessRow& a, const ProcessRow& b) { return a.order < b.order; });
    return rows;
}

std::vector<ServiceRow> ConsoleTables::Services(uint32_t group) const {
    std::vector<ServiceRow> rows;
    if (group < 2 || group > 3) return rows;
    for (const auto& [name, row] : services_[group - 2])
        rows.push_back(row);
    std::sort(rows.begin(), rows.end(),
              [](const ServiceRow& a, const ServiceRow& b) { return a.order < b.order; });
    return rows;
}

} // namespace pm::console
