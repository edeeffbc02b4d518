// A scripted system for snapshots: toolhelp lists, registry answers, processes and services.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "procman/w32/table/snapshot_platform.h"

namespace pm::table::test {

struct FakeProcess {
    std::string module_name; // "" when it cannot be read
    bool token_opens = true;
    uint32_t token_error = 5; // reported when the token cannot be opened
    std::string user;         // "" with token_opens: the lookup fails
};

class FakeSnapshotPlatform : public SnapshotPlatform {
public:
    // Windows 95 mode
    bool win95 = false;
    bool toolhelp_opens = true;
    std::vector<ToolhelpProcess> first_walk, second_walk; // second_walk empty: same as first
    std::map<uint32_t, uint32_t> process_flags;
    int toolhelp_open_count = 0, toolhelp_close_count = 0;

    // NT mode
    int library_disables = 1; // ordinal 59: nonzero lets the registry decide
    bool perfproc_opens = true;
    bool disable_value_present = false;
    uint32_t disable_value = 0;
    bool perflib_opens = true;
    long counters_size_status = 0;
    bool counters_read = true;
    std::vector<uint8_t> counters;
    std::vector<uint8_t> perf_block;
    uint32_t perf_needed = 0; // ERROR_MORE_DATA until the buffer reaches this
    long perf_status = 0;
    std::vector<uint32_t> perf_buffer_sizes;
    std::vector<std::string> perf_value_names;
    std::map<uint32_t, FakeProcess> processes; // by id; absent: OpenProcess fails
    int perflib_opened = 0, perflib_closed = 0, perfproc_opened = 0, perfproc_closed = 0;

    bool scm_opens = true;
    std::vector<ServiceStatusEntry> win32_services, drivers;
    std::vector<uint32_t> enum_types;
    int scm_closed = 0, processes_open = 0;

    bool IsWin95Mode() override { return win95; }
    void CreateExecutionMutexOnce() override { ++mutex_calls; }
    int mutex_calls = 0;

    bool OpenToolhelpSnapshot() override {
        ++toolhelp_open_count;
        walks_ = 0;
        return toolhelp_opens;
    }
    bool ProcessFirst(ToolhelpProcess* e) override {
        ++walks_;
        pos_ = 0;
        return ProcessNext(e);
    }
    bool ProcessNext(ToolhelpProcess* e) override {
        const auto& list = (walks_ >= 2 && !second_walk.empty()) ? second_walk : first_walk;
        if (pos_ >= list.size()) return false;
        *e = list[pos_++];
        return true;
    }
    uint32_t GetProcessFlags(uint32_t pid) override {
        auto it = process_flags.find(pid);
        return it == process_flags.end() ? 0 : it->second;
    }
    void CloseToolhelpSnapshot() override { ++toolhelp_close_count; }

    int PerfCountersDisabledByLibrary() override { return library_disables; }
    bool OpenPerfProcKey() override {
        if (perfproc_opens) ++perfproc_opened;
        return perfproc_opens;
    }
    bool ReadDisablePerformanceCounters(uint32_t* v) override {
        *v = disable_value;
        return disable_value_present;
    }
    void ClosePerfProcKey() override { ++perfproc_closed; }

    bool OpenPerflibKey() override {
        if (perflib_opens) ++perflib_opened;
        return perflib_opens;
    }
    long QueryCountersSize(uint32_t* size) override {
        *size = static_cast<uint32_t>(counters.size());
        return counters_size_status;
    }
    bool ReadCounters(std::vector<uint8_t>* data, uint32_t buffer_size) override {
        if (!counters_read || buffer_size < counters.size()) return false;
        *data = counters;
        return true;
    }
    void ClosePerflibKey() override { ++perflib_closed; }

    long QueryPerformanceData(const std::string& name, uint32_t size,
                              std::vector<uint8_t>* data) override {
        perf_value_names.push_back(name);
        perf_buffer_sizes.push_back(size);
        if (perf_status != 0) return perf_status;
        uint32_t needed = perf_needed ? perf_needed : uint32_t(perf_block.size());
        if (size < needed) return kErrorMoreData;
        *data = perf_block;
        return kStatusOk;
    }

    void OpenProcess(uint32_t pid) override {
        auto it = processes.find(pid);
        current_ = it == processes.end() ? nullptr : &it->second;
        ++processes_open;
    }
    std::string ModuleFileName() override { return current_ ? current_->module_name : ""; }
    bool TokenUserName(std::string* name, uint32_t* token_error) override {
        *token_error = 0;
        if (!current_ || !current_->token_opens) {
            *token_error = current_ ? current_->token_error : 6;
            return false;
        }
        if (current_->user.empty()) return false;
        *name = current_->user;
        return true;
    }
    void CloseProcess() override {
        current_ = nullptr;
        --processes_open;
    }

    bool OpenServiceManager() override { return scm_opens; }
    bool EnumServicesSize(uint32_t type, uint32_t* needed, uint32_t* count,
                          bool* more_data) override {
        enum_types.push_back(type);
        size_t n = (type == 0x0B) ? drivers.size() : win32_services.size() + drivers.size();
        *needed = static_cast<uint32_t>(n * 36);
        *count = 0;
        *more_data = n > 0;
        return n == 0;
    }
    bool EnumServices(uint32_t type, uint32_t, std::vector<ServiceStatusEntry>* out) override {
        enum_types.push_back(type);
        *out = (type == 0x0B) ? drivers : win32_services;
        return true;
    }
    void CloseServiceManager() override { ++scm_closed; }

    std::string WideToAnsi(const std::u16string& text) override {
        std::string s;
        for (char16_t c : text)
            s.push_back(c < 0x100 ? char(c) : '?');
        return s;
    }

private:
    size_t pos_ = 0;
    int walks_ = 0;
    FakeProcess* current_ = nullptr;
};

} // namespace pm::table::test
