// A system for snapshots whose every answer a test sets directly.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "procman/w32/table/snapshot_platform.h"

namespace pm::table::test {

class FakeSnapshotPlatform : public SnapshotPlatform {
public:
    bool win95 = false;
    std::optional<std::vector<ToolhelpProcess>> toolhelp = std::vector<ToolhelpProcess>{};
    PerfCountersSwitch perf_counters;
    Win32Result<std::vector<uint8_t>, RegistryStep> counters = std::vector<uint8_t>{};
    std::vector<uint8_t> perf_block;
    uint32_t perf_needed = 0;                     // kErrorMoreData below this buffer size
    uint32_t perf_status = 0;                     // any other status instead of the block
    std::map<uint32_t, ProcessDetails> processes; // absent: the process cannot be opened
    std::vector<ServiceStatusEntry> win32_services, drivers;

    // What was asked.
    int counters_asked = 0;
    std::vector<uint32_t> perf_buffer_sizes;
    std::vector<std::string> perf_value_names;

    bool IsWin95Mode() override { return win95; }
    std::optional<std::vector<ToolhelpProcess>> ToolhelpProcesses(size_t) override {
        return toolhelp;
    }
    PerfCountersSwitch PerfCounters() override { return perf_counters; }
    Win32Result<std::vector<uint8_t>, RegistryStep> CountersText() override {
        ++counters_asked;
        return counters;
    }
    Win32Result<std::vector<uint8_t>> PerformanceData(const std::string& name,
                                                      uint32_t size) override {
        perf_value_names.push_back(name);
        perf_buffer_sizes.push_back(size);
        if (perf_status != 0) return Win32Error(perf_status);
        if (size < perf_needed || size < perf_block.size()) return Win32Error(kErrorMoreData);
        return perf_block;
    }
    ProcessDetails Process(uint32_t pid) override {
        auto it = processes.find(pid);
        return it != processes.end() ? it->second
                                     : ProcessDetails{"", Win32Error(TokenStep::kOpenToken, 6)};
    }
    std::vector<std::vector<ServiceStatusEntry>>
    Services(const std::vector<ServiceTypeQuery>& queries) override {
        std::vector<std::vector<ServiceStatusEntry>> lists;
        for (const auto& q : queries)
            lists.push_back(q.type == 0x0B   ? drivers
                            : q.type == 0x30 ? win32_services
                                             : std::vector<ServiceStatusEntry>{});
        return lists;
    }
    std::string WideToAnsi(const std::u16string& text) override {
        std::string s;
        for (char16_t c : text)
            s.push_back(c < 0x100 ? char(c) : '?');
        return s;
    }
};

} // namespace pm::table::test
