// Portable: the snapshot's algorithms; every system call goes through SnapshotPlatform.
#include "procman/w32/table/raw_table.h"

#include <cstring>
#include <optional>
#include <string>

#include "procman/w32/table/table_trace.h"

namespace pm::table {
namespace {

constexpr uint32_t kPerfFirstBuffer = 8192;
constexpr uint32_t kPerfBufferStep = 4096;
// A system that keeps answering "more data" must not make the agent grow without end.
constexpr uint32_t kPerfBufferLimit = 64u << 20;
constexpr uint32_t kServiceTypeAll = 0x3B;
constexpr uint32_t kServiceTypeWin32 = 0x30;
constexpr uint32_t kServiceTypeDrivers = 0x0B;
constexpr size_t kToolhelpProcessLimit = size_t(1) << 20;

TextString Captured(const std::string& ansi) {
    TextString s(ansi.c_str());
    s.ToCompressedUnicode();
    return s;
}

// A stored (compressed unicode) text in the ANSI code page, for trace lines only.
std::string ForTrace(const char* stored) {
    TextString s(stored ? stored : "");
    s.FromCompressedUnicode();
    return s.Text() ? s.Text() : "";
}

bool TextEquals(const char* a, const char* b) {
    return TextString(a) == (b ? b : "");
}

} // namespace

bool IsPerfProcEnabled(SnapshotPlatform& p) {
    const PerfCountersSwitch answer = p.PerfCounters();
    if (!answer.library_defers_to_registry || !answer.disable_value) return true;
    const auto& value = *answer.disable_value;
    if (value.FailedAt(RegistryStep::kOpenKey)) {
        Trace("!!isPerfProcEnabled() open of PERFPROC_KEY failed\n");
        return false;
    }
    Trace("--isPerfProcEnabled() opened PERFPROC_KEY\n");
    if (!value) {
        Trace("--isPerfProcEnabled() query of value failed\n");
        return true;
    }
    return value.value() != 1;
}

RawTable::RawTable(bool win95_mode) : win95_mode_(win95_mode) {}

RawTable::RawTable(SnapshotPlatform& p, SnapshotState& state) {
    Trace("->RawTable::RawTable() entered\n");
    win95_mode_ = p.IsWin95Mode();
    if (win95_mode_) {
        TakeWin95(p);
        return;
    }
    if (!TakeNtProcesses(p, state)) return;
    TakeServices(p);
}

void RawTable::TakeWin95(SnapshotPlatform& p) {
    // One walk of the (unchanging) toolhelp snapshot: counting first and filling in a second
    // walk gives the same records, at twice the cost of the walk.
    std::optional<std::vector<ToolhelpProcess>> found = p.ToolhelpProcesses(kToolhelpProcessLimit);
    if (!found) return;
    processes_.reserve(found->size());
    for (const ToolhelpProcess& t : *found) {
        ProcessEntry r;
        r.process_id = t.process_id;
        r.parent_process_id = t.parent_process_id;
        r.name = Captured(t.exe_file);
        r.thread_count = static_cast<uint16_t>(t.thread_count);
        r.base_priority = static_cast<uint16_t>(t.base_priority);
        r.process_flags = static_cast<uint16_t>(t.process_flags);
        processes_.push_back(std::move(r));
    }
    Trace("<-RawTable::RawTable()\n");
}

bool RawTable::ResolveTitleIndexes(SnapshotPlatform& p, SnapshotState& state) {
    Win32Result<std::vector<uint8_t>, RegistryStep> counters = p.CountersText();
    if (counters.FailedAt(RegistryStep::kOpenKey)) {
        Trace("RawTable::RawTable() open of PERFLIB_KEY failed\n");
        return false;
    }
    Trace("RawTable::RawTable() opened PERFLIB_KEY\n");
    if (counters.FailedAt(RegistryStep::kQuerySize)) {
        Trace("RawTable::RawTable() query of Counters size failed with rc=%d\n",
              static_cast<int>(counters.error()));
        return false;
    }
    if (!counters) {
        Trace("RawTable::RawTable() query of Counters value failed\n");
        return false;
    }
    auto& table = state.counters;
    MatchCounterTitles(counters->data(), counters->size(), table, [&](int row) {
        Trace("RawTable::RawTable() found a match for counter=%s\n", table.rows[row].name);
    });
    table.query_value_name = std::to_string(table.rows[kRowProcess].title_index);
    return true;
}

bool RawTable::TakeNtProcesses(SnapshotPlatform& p, SnapshotState& state) {
    if (!IsPerfProcEnabled(p)) return true; // no processes, services still listed
    if (state.counters.query_value_name.empty() && !ResolveTitleIndexes(p, state)) return false;

    uint32_t buffer = kPerfFirstBuffer;
    Win32Result<std::vector<uint8_t>> data =
        p.PerformanceData(state.counters.query_value_name, buffer);
    while (data.error() == kErrorMoreData && buffer <= kPerfBufferLimit - kPerfBufferStep) {
        buffer += kPerfBufferStep;
        data = p.PerformanceData(state.counters.query_value_name, buffer);
    }
    if (!data) Trace("RawTable::RawTable() open of HKEY_PERFORMANCE_DATA failed\n");

    uint32_t announced = 0;
    std::vector<PerfInstance> instances;
    if (!data || data->size() < 4 ||
        ReadPerfInstances(data->data(), data->size(), state.counters, &announced, instances) !=
            PerfReadResult::kOk) {
        Trace("RawTable::RawTable() perf_data check failed\n");
        return false;
    }
    Trace("--RawTable::RawTable() reading performance data for %lu items...\n",
          static_cast<unsigned long>(announced));
    processes_.reserve(instances.size());
    for (const PerfInstance& inst : instances) {
        ProcessEntry r;
        r.process_id = inst.id_process;
        const ProcessDetails details = p.Process(inst.id_process);
        const std::string& full = details.module_path;
        Trace("--RawTable::RawTable() full process name = \"%s\"\n", full.c_str());
        std::string name = full;
        if (full.empty() || full == "?") {
            name = p.WideToAnsi(inst.name);
            Trace("--RawTable::RawTable() process name = \"%s\"\n", name.c_str());
            if (name == "_Total") continue;
        }
        if (details.user_name.FailedAt(TokenStep::kOpenToken))
            Trace("--RawTable::RawTable() OpenProcessToken() returned rc=%d\n",
                  static_cast<int>(details.user_name.error()));
        r.name = Captured(name);
        r.user_name = Captured(details.user_name.value_or(std::string()));
        r.thread_count = static_cast<uint16_t>(inst.thread_count);
        r.base_priority = static_cast<uint16_t>(inst.priority_base);
        r.working_set = inst.working_set;
        processes_.push_back(std::move(r));
    }
    return true;
}

void RawTable::TakeServices(SnapshotPlatform& p) {
    const std::vector<std::vector<ServiceStatusEntry>> lists = p.Services(
        {{kServiceTypeAll, kServiceTypeWin32}, {kServiceTypeDrivers, kServiceTypeDrivers}});
    const uint32_t groups[] = {kGroupServices, kGroupDrivers};
    for (size_t k = 0; k < 2 && k < lists.size(); ++k) {
        auto& slot = services_[groups[k] - 1];
        slot.reserve(lists[k].size());
        for (const auto& s : lists[k]) {
            ServiceEntry e;
            e.display_name = Captured(s.display_name);
            e.current_state = static_cast<uint16_t>(s.current_state);
            e.group = static_cast<uint16_t>(groups[k]);
            slot.push_back(std::move(e));
        }
    }
    Trace("<-RawTable::RawTable()\n");
}

int RawTable::ExecuteCommand(Command& command, const ExecThreadStarter& start) const {
    Trace("--ExecuteCommand: Spawn ExecProcess thread\n");
    command.flags |= Command::kFlagDeferredReply;
    if (start && start(&command)) return 1;
    // Still inside the handler: replying (and freeing the command) here would pull it from
    // under the node, so the flag goes again and the node sends the reply on return.
    command.flags &= ~Command::kFlagDeferredReply;
    command.status = 255;
    Trace("!!ExecuteCommand: system call to create thread failed\n");
    return 1;
}

uint32_t RawTable::GetNumEntries(uint32_t group) const {
    if (group > GetNumGroups() || group == 0) return 0;
    if (group == kGroupProcesses) return static_cast<uint32_t>(processes_.size());
    return static_cast<uint32_t>(services_[group - 1].size());
}

const std::vector<ServiceEntry>& RawTable::Services(uint32_t group) const {
    static const std::vector<ServiceEntry> kNone;
    return (group >= 1 && group <= kServiceSlots) ? services_[group - 1] : kNone;
}

std::vector<ServiceEntry>& RawTable::MutableServices(uint32_t group) {
    return services_[(group >= 1 && group <= kServiceSlots) ? group - 1 : 0];
}

uint32_t RawTable::GetProcUniqueID(uint32_t index) const {
    if (index >= processes_.size()) {
        Trace("!!RawTable::GetProcUniqueID(index=%lu) index out of bound\n",
              static_cast<unsigned long>(index));
        return 0;
    }
    return processes_[index].process_id;
}

bool RawTable::IsProcessUpdated(uint32_t index, const RawTable& older, uint32_t old_index) const {
    if (index >= processes_.size() || old_index >= older.processes_.size()) {
        Trace("!!RawTable::IsProcessUpdated(index=%lu, old_index=%lu) index out of bound\n",
              static_cast<unsigned long>(index), static_cast<unsigned long>(old_index));
        return false;
    }
    const ProcessEntry& a = processes_[index];
    const ProcessEntry& b = older.processes_[old_index];
    bool differ = a.process_id != b.process_id || a.parent_process_id != b.parent_process_id ||
                  a.process_flags != b.process_flags || a.thread_count != b.thread_count ||
                  a.base_priority != b.base_priority || a.monitored != b.monitored ||
                  a.working_set != b.working_set || a.name != b.name;
    return differ;
}

const char* RawTable::GetKey(uint32_t group, int64_t index) const {
    if (group > GetNumGroups() || group == 0 || index < 0) return nullptr;
    const auto& slot = services_[group - 1];
    if (index >= static_cast<int64_t>(slot.size())) return nullptr;
    const char* key = slot[index].display_name.Text();
    return key ? key : "";
}

bool RawTable::IsKeyDifferent(uint32_t group, int64_t index, const char* name) const {
    if (group > GetNumGroups()) return false;
    return !TextEquals(GetKey(group, index), name);
}

int RawTable::FindService(uint32_t group, const char* key) const {
    const auto& slot = Services(group);
    for (size_t i = 0; i < slot.size(); ++i)
        if (TextEquals(slot[i].display_name.Text(), key)) return static_cast<int>(i);
    return -1;
}

bool RawTable::IsUpdated(const RawTable& other, uint32_t group, const char* key) const {
    if (group > GetNumGroups()) {
        Trace("!!RawTable::IsUpdated(group=%lu, key=%s): Invalid group\n",
              static_cast<unsigned long>(group), ForTrace(key).c_str());
        return false;
    }
    int mine = FindService(group, key);
    int theirs = other.FindService(group, key);
    if (mine < 0 || theirs < 0) return true;
    return Services(group)[mine].current_state != other.Services(group)[theirs].current_state;
}

namespace {
void TraceAttrib(const char* prefix, uint32_t field, const char* text, uint32_t number) {
    if (text)
        Trace("%s[ProcMgrAttrib] field_id=%lu, val=%s\n", prefix, static_cast<unsigned long>(field),
              ForTrace(text).c_str());
    else
        Trace("%s[ProcMgrAttrib] field_id=%lu, val=%lu\n", prefix,
              static_cast<unsigned long>(field), static_cast<unsigned long>(number));
}
} // namespace

Record RawTable::GetProcessUpdateRecord(uint32_t index) const {
    Trace("->RawTable::GetProcessUpdateRecord(index=%lu)\n", static_cast<unsigned long>(index));
    if (index >= processes_.size()) {
        Trace("!!GetProcessUpdateRecord(index=%lu): len=%lu, index out of bound\n",
              static_cast<unsigned long>(index), 0ul);
        return {};
    }
    const ProcessEntry& e = processes_[index];
    static const char kPrefix[] = "--RawTable::GetProcessUpdateRecord(): ";
    if (TraceOn())
        Trace("%s[ProcUpdateProcessRec] rec_type=%lu, group_id=%lu, proc_id=%lu, num_attribs=%lu\n",
              kPrefix, 1ul, 1ul, static_cast<unsigned long>(e.process_id), win95_mode_ ? 6ul : 7ul);
    ProcessRecordFields f;
    f.process_id = e.process_id;
    f.parent_process_id = e.parent_process_id;
    f.thread_count = e.thread_count;
    f.base_priority = e.base_priority;
    f.monitored = e.monitored;
    f.working_set = e.working_set;
    f.name = e.name.Text();
    f.user_name = e.user_name.Text();
    AttribObserver observe;
    if (TraceOn())
        observe = [](uint32_t field, const char* text, uint32_t number) {
            TraceAttrib(kPrefix, field, text, number);
        };
    Record r = BuildProcessUpdateRecord(f, win95_mode_, observe);
    Trace("<-RawTable::GetProcessUpdateRecord(index=%lu): len=%lu\n",
          static_cast<unsigned long>(index), static_cast<unsigned long>(r.size()));
    return r;
}

Record RawTable::GetUpdateRecord(uint32_t group, uint32_t index) const {
    if (group > GetNumGroups()) {
        Trace("!!RawTable::GetUpdateRecord(group=%lu, index=%lu): invalid group ID\n",
              static_cast<unsigned long>(group), static_cast<unsigned long>(index));
        return {};
    }
    Trace("->RawTable::GetUpdateRecord(group=%lu, index=%lu)\n", static_cast<unsigned long>(group),
          static_cast<unsigned long>(index));
    // Only the service groups hold records, and only below their count.
    if (group < kGroupServices || index >= Services(group).size()) return {};
    const ServiceEntry& e = Services(group)[index];
    static const char kPrefix[] = "--RawTable::GetUpdateRecord(): ";
    if (TraceOn())
        Trace("%s[ProcUpdateProcessRec] rec_type=%lu, group_id=%lu, proc_id=%lu, num_attribs=%lu\n",
              kPrefix, 1ul, static_cast<unsigned long>(e.group), 0ul, 2ul);
    AttribObserver observe;
    if (TraceOn())
        observe = [](uint32_t field, const char* text, uint32_t number) {
            TraceAttrib(kPrefix, field, text, number);
        };
    Record r = BuildServiceUpdateRecord(e.display_name.Text(), e.current_state, e.group, observe);
    Trace("<-RawTable::GetUpdateRecord(group=%lu, index=%lu)\n", static_cast<unsigned long>(group),
          static_cast<unsigned long>(index));
    return r;
}

} // namespace pm::table
