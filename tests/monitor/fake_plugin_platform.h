// A plug-in platform for tests: a settable clock whose local time is the calendar time read as
// UTC, a scripted process list for either enumeration, files in memory and English strings.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "procman/com/plugin.h"
#include "shared/text/text_string.h"

namespace pm::monitor::test {

inline std::string Cu(const char* ansi) {
    TextString s(ansi);
    s.ToCompressedUnicode();
    return s.CStr();
}

// Calendar seconds of day `day` (1-31) at hh:mm:ss.
inline int64_t At(int day, int hh, int mm, int ss) {
    return 1000000000LL - 1000000000LL % 86400 + 86400LL * day + 3600LL * hh + 60 * mm + ss;
}

class FakePluginPlatform : public PluginPlatform {
public:
    int64_t now = At(1, 12, 0, 0);
    bool win9x = false;
    bool toolhelp_usable = true;
    bool psapi_usable = true;
    bool toolhelp_fails = false;
    std::vector<ProcessEntry> processes{{"C:\\WINNT\\SYSTEM32\\SMSS.EXE", 4}};
    std::string log_dir = "C:\\Logs\\";
    std::map<std::string, std::vector<uint8_t>> files;
    bool replace_fails = false;
    int reads = 0, replaces = 0, toolhelp_lists = 0, psapi_lists = 0;
    int trace_opens = 0, trace_closes = 0, trace_lines = 0;
    std::vector<std::string> trace_open_args;
    std::string language = "en";
    std::map<unsigned, std::string> own_strings = {
        {2008, "Process '"},    {2009, "' has terminated."},
        {2010, "Process '"},    {2011, "' has been started."},
        {2012, "Process '"},    {2013, "' has failed to start."},
        {2020, "Process Alert"}};
    std::map<unsigned, std::string> catalog = {{2014, "Process Monitors"},
                                               {2020, "Process Alert"},
                                               {200, "Process Terminated"},
                                               {201, "Process Started"},
                                               {202, "Process Failed to Start"}};

    // The processes of the next enumerations: the given ones after a system process that is
    // always there (an empty PSAPI list would end the pulse at once).
    void Run(std::initializer_list<std::pair<const char*, uint32_t>> list) {
        processes = {{"C:\\WINNT\\SYSTEM32\\SMSS.EXE", 4}};
        for (const auto& [path, pid] : list)
            processes.push_back({path, pid});
    }

    int64_t Now() override { return now; }
    LocalTime Local(int64_t t) override {
        LocalTime l;
        l.second = static_cast<int>(t % 60);
        l.minute = static_cast<int>(t / 60 % 60);
        l.hour = static_cast<int>(t / 3600 % 24);
        l.day_of_month = static_cast<int>(t / 86400 % 28) + 1;
        return l;
    }
    bool IsWin9xFamily() override { return win9x; }
    bool ToolhelpUsable() override { return toolhelp_usable; }
    bool PsapiUsable() override { return psapi_usable; }
    bool ListToolhelp(std::vector<ProcessEntry>& out) override {
        ++toolhelp_lists;
        if (toolhelp_fails) return false;
        out = processes;
        return true;
    }
    void ListPsapi(std::vector<ProcessEntry>& out, uint32_t& ids) override {
        ++psapi_lists;
        out = processes;
        ids = static_cast<uint32_t>(processes.size());
    }
    std::string LogDirectory() override { return log_dir; }
    bool FileExists(const std::string& path) override { return files.count(path) != 0; }
    bool ReadFile(const std::string& path, size_t limit, std::vector<uint8_t>& out) override {
        ++reads;
        auto it = files.find(path);
        if (it == files.end()) return false;
        out.assign(it->second.begin(),
                   it->second.begin() + static_cast<long>(std::min(limit, it->second.size())));
        return true;
    }
    bool ReplaceFile(const std::string& path, const std::vector<uint8_t>& bytes) override {
        ++replaces;
        if (replace_fails) return false;
        files[path] = bytes;
        return true;
    }
    int LoadOwnString(unsigned id, char* buffer, int size) override {
        auto it = own_strings.find(id);
        if (it == own_strings.end() || size <= 0) return 0;
        std::string s = it->second.substr(0, static_cast<size_t>(size - 1));
        std::copy(s.begin(), s.end(), buffer);
        buffer[s.size()] = '\0';
        return static_cast<int>(s.size());
    }
    std::vector<std::string> CatalogStrings(const std::vector<unsigned>& ids) override {
        std::vector<std::string> out;
        for (unsigned id : ids)
            out.push_back(catalog.count(id) ? Cu(catalog[id].c_str()) : std::string());
        return out;
    }
    // The leaves' names in English; another catalog language puts its two letters in front.
    // clang-format off
    std::vector<std::string> node_names = {"Current Active Processes", "New executions counted",
        "Yesterday's new executions", "Maximum running at once", "Maximum running yesterday",
        "Total execution time", "Yesterday's execution time", "Times started", "Times stopped",
        "Times failed to start"};
    // clang-format on
    std::vector<std::string> catalog_codes;
    std::vector<std::string> CatalogStringsFor(const std::string& code,
                                               const std::vector<unsigned>& ids) override {
        catalog_codes.push_back(code);
        const std::string lang = code.substr(0, 2) == "en" ? "" : code.substr(0, 2) + " ";
        std::vector<std::string> out;
        for (unsigned id : ids)
            out.push_back(id >= 100 && id < 110 ? Cu((lang + node_names[id - 100]).c_str())
                                                : std::string());
        return out;
    }
    std::string LanguageCode() override { return language; }
    uintptr_t TraceOpen(const char* name, const char* second, uint32_t kb) override {
        ++trace_opens;
        trace_open_args = {name, second, std::to_string(kb)};
        return 77;
    }
    void TraceClose(uintptr_t) override { ++trace_closes; }
    void Trace0(uintptr_t, int, const char*) override { ++trace_lines; }
    void TraceS(uintptr_t, int, const char*, const char*) override { ++trace_lines; }
    void TraceSS(uintptr_t, int, const char*, const char*, const char*) override { ++trace_lines; }
    void TraceSI(uintptr_t, int, const char*, const char*, long) override { ++trace_lines; }
    void TraceI(uintptr_t, int, const char*, long) override { ++trace_lines; }
    void TraceII(uintptr_t, int, const char*, long, long) override { ++trace_lines; }
};

} // namespace pm::monitor::test
