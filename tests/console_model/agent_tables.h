// The agent's own table and configuration code answering the console's tests: snapshots of
// processes and Win32 services, the update records a console at some clock would receive, and
// Get Configuration.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "procman/w32/baseinfo/base_info_records.h"
#include "procman/w32/table/change_tracker.h"
#include "shared/text/text_string.h"

namespace pm::console::test {

// A text as the agent stores it (compressed unicode), and one as the console shows it (UTF-8).
inline TextString Stored(const char* ansi) {
    TextString s(ansi);
    s.ToCompressedUnicode();
    return s;
}
inline std::string Utf8(const std::string& compressed) {
    TextString s(compressed.c_str());
    s.CompressedToUtf8();
    return s.CStr();
}

// Processes (id, name) of 3 threads, base priority 8 and id x 4 KiB, run by SYSTEM (in Windows 95
// mode by nobody, with parent 1); Win32 services (name, state).
inline std::unique_ptr<table::RawTable>
Snapshot(bool win95, const std::vector<std::pair<uint32_t, const char*>>& procs,
         const std::vector<std::pair<const char*, uint16_t>>& svcs = {}) {
    auto t = std::make_unique<table::RawTable>(win95);
    for (auto [pid, name] : procs) {
        table::ProcessEntry e;
        e.process_id = pid;
        e.parent_process_id = win95 ? 1 : 0;
        e.thread_count = 3;
        e.base_priority = 8;
        e.working_set = pid * 4096;
        e.name = Stored(name);
        e.user_name = Stored(win95 ? "" : "SYSTEM");
        t->MutableProcesses().push_back(std::move(e));
    }
    for (auto [name, state] : svcs)
        t->MutableServices(2).push_back(table::ServiceEntry{Stored(name), state, 2});
    return t;
}

// The update records for a console at clock `since`, each as bytes.
template <class Item = std::vector<uint8_t>>
std::vector<Item> Updates(const table::ChangeTracker& agent, uint32_t since) {
    std::vector<Item> items;
    for (auto& r : agent.CollectUpdates(since))
        items.emplace_back(r.data(), r.data() + r.size());
    return items;
}

// Get Configuration as the agent answers it on Windows XP, with a few of its texts.
inline std::string Title(unsigned id) {
    switch (id) {
    case 102:
        return "Program Name";
    case 101:
        return "Process ID";
    case 116:
        return "State";
    case 205:
        return "Close Application";
    case 403:
        return "Normal";
    case 513:
        return "Running";
    default:
        return "text " + std::to_string(id);
    }
}
template <class Item = std::vector<uint8_t>> std::vector<Item> Configuration(bool win95) {
    baseinfo::OsVersion os;
    os.major = 5;
    os.minor = 1;
    os.platform = 2;
    std::vector<Item> items;
    for (auto& r : baseinfo::GetProcessBaseInfo(win95, os, &Title, "en"))
        items.emplace_back(r.data(), r.data() + r.size());
    return items;
}

} // namespace pm::console::test
