// Portable change detection.
#include "procman/w32/table/change_tracker.h"

#include <cstring>
#include <string>
#include <unordered_map>

#include "procman/w32/table/table_trace.h"

namespace pm::table {
namespace {

std::string ForTrace(const char* stored) {
    TextString s(stored ? stored : "");
    s.FromCompressedUnicode();
    return s.Text() ? s.Text() : "";
}

// First index of each display name of a group (first match wins, as a scan would find it).
std::unordered_map<std::string, uint32_t> IndexByName(const std::vector<ServiceEntry>& slot) {
    std::unordered_map<std::string, uint32_t> index;
    index.reserve(slot.size());
    for (uint32_t i = 0; i < slot.size(); ++i) {
        const char* name = slot[i].display_name.Text();
        index.emplace(name ? name : "", i);
    }
    return index;
}

Record ClockItem(uint32_t clock) {
    Record r = Record::Zeroed(4);
    if (!r) return r;
    for (int i = 0; i < 4; ++i)
        r.data()[i] = uint8_t(clock >> (8 * i));
    return r;
}

} // namespace

const std::vector<uint32_t>& ChangeTracker::GroupStamps(uint32_t group) const {
    static const std::vector<uint32_t> kNone;
    return (group >= 1 && group <= kServiceSlots) ? group_stamps_[group - 1] : kNone;
}

void ChangeTracker::Renew(std::unique_ptr<RawTable> next) {
    if (!next) return;
    const uint32_t groups = next->GetNumGroups();
    if (!current_) {
        process_stamps_.assign(next->Processes().size(), 1);
        Trace("--CheckForUpdates(): [first time] Allocated %d bytes for timestamps\n",
              int(4 * next->Processes().size()));
        removal_stamp_ = 0;
        clock_ = 1;
        Trace("--CheckForUpdates(): [first time] About to initialize Service timestamps\n");
        for (uint32_t g = 2; g <= kServiceSlots; ++g)
            group_stamps_[g - 1].assign(next->Services(g).size(), 1);
        Trace("--CheckForUpdates(): [first time] Initialize timstamps for %d additional groups\n",
              int(groups) - 1);
        current_ = std::move(next);
        return;
    }

    Trace("->CheckForUpdates(): [renew data] indentifying changes in process data  \n");
    Trace("--CheckForUpdates(): [renew data] Checking group=1\n");
    const RawTable& old = *current_;
    const auto& new_procs = next->Processes();
    std::vector<uint32_t> stamps(new_procs.size());
    Trace("--CheckForUpdates(): [renew data] Allocated %d bytes for new timestamps\n",
          int(4 * new_procs.size()));

    std::unordered_map<uint32_t, uint32_t> old_by_id;
    old_by_id.reserve(old.Processes().size());
    for (uint32_t i = 0; i < old.Processes().size(); ++i)
        old_by_id.emplace(old.Processes()[i].process_id, i);

    // Each old process counts once towards "matched", however many new ones share its id.
    std::vector<bool> matched_old(old.Processes().size(), false);
    size_t matched = 0;
    for (uint32_t i = 0; i < new_procs.size(); ++i) {
        auto it = old_by_id.find(new_procs[i].process_id);
        if (it != old_by_id.end()) {
            if (!matched_old[it->second]) {
                matched_old[it->second] = true;
                ++matched;
            }
            if (!next->IsProcessUpdated(i, old, it->second)) {
                stamps[i] = process_stamps_[it->second];
            } else {
                stamps[i] = ++clock_;
                Trace("--CheckForUpdates(): [renew data] Updated process %lu\n",
                      static_cast<unsigned long>(new_procs[i].process_id));
            }
        } else {
            stamps[i] = ++clock_;
            Trace("--CheckForUpdates(): [renew data] New process %lu\n",
                  static_cast<unsigned long>(new_procs[i].process_id));
        }
    }
    if (matched < old.Processes().size()) removal_stamp_ = ++clock_;

    std::vector<uint32_t> new_group_stamps[kServiceSlots];
    for (uint32_t g = 2; g <= groups && g <= kServiceSlots; ++g) {
        Trace("--CheckForUpdates(): [renew data] Checking group=%lu\n",
              static_cast<unsigned long>(g));
        const auto& old_slot = old.Services(g);
        const auto& new_slot = next->Services(g);
        auto old_index = IndexByName(old_slot);
        auto new_index = IndexByName(new_slot);
        auto& gs = new_group_stamps[g - 1];
        gs.resize(new_slot.size());
        for (uint32_t j = 0; j < new_slot.size(); ++j) {
            const char* key = new_slot[j].display_name.Text();
            std::string k = key ? key : "";
            auto it = old_index.find(k);
            if (it != old_index.end()) {
                // Same answer as comparing the first holder of the name in both snapshots.
                uint32_t first_new = new_index.at(k);
                bool changed =
                    old_slot[it->second].current_state != new_slot[first_new].current_state;
                if (!changed && it->second < group_stamps_[g - 1].size()) {
                    gs[j] = group_stamps_[g - 1][it->second];
                    continue;
                }
                Trace("--CheckForUpdates(): [renew data] Updated process %s\n",
                      ForTrace(key).c_str());
            } else {
                Trace("--CheckForUpdates(): [renew data] New process %s\n", ForTrace(key).c_str());
            }
            gs[j] = ++clock_;
        }
    }

    process_stamps_ = std::move(stamps);
    for (int s = 0; s < kServiceSlots; ++s)
        group_stamps_[s] = std::move(new_group_stamps[s]);
    current_ = std::move(next);
    Trace("<-CheckForUpdates(): [renew data]\n");
}

std::vector<Record> ChangeTracker::CollectUpdates(uint32_t since) const {
    std::vector<Record> items;
    items.push_back(ClockItem(clock_));
    if (!current_) return items;
    const RawTable& t = *current_;
    const auto& procs = t.Processes();
    if (Newer(removal_stamp_, since)) {
        std::vector<uint32_t> ids(procs.size());
        for (uint32_t i = 0; i < procs.size(); ++i)
            ids[i] = t.GetProcUniqueID(i);
        Record r = BuildValidProcIds(ids.data(), static_cast<uint32_t>(ids.size()));
        Trace("--ProcessList::AddUpdateRecords(): [ProcMgrValidProcIDs] rec_type=%lu, "
              "group_id=%lu, num_valid=%lu\n",
              2ul, 1ul, static_cast<unsigned long>(ids.size()));
        items.push_back(std::move(r));
    }
    Trace("->ProcessList::AddUpdateRecords(): [ProcMgrUpdateProcessRec]\n");
    for (uint32_t i = 0; i < procs.size() && i < process_stamps_.size(); ++i)
        if (Newer(process_stamps_[i], since)) items.push_back(t.GetProcessUpdateRecord(i));
    for (uint32_t g = 2; g <= t.GetNumGroups() && g <= kServiceSlots; ++g) {
        const auto& gs = group_stamps_[g - 1];
        for (uint32_t j = 0; j < t.Services(g).size() && j < gs.size(); ++j)
            if (Newer(gs[j], since)) items.push_back(t.GetUpdateRecord(g, j));
    }
    Trace("<-ProcessList::AddUpdateRecords(): [ProcMgrUpdateProcessRec]\n");
    return items;
}

} // namespace pm::table
