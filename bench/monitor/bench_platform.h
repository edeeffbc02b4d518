// A plug-in platform for the benchmarks: a fixed clock, a settable process list, no files,
// no strings and no trace.
#pragma once

#include <string>
#include <vector>

#include "procman/com/plugin.h"

namespace pm::monitor::bench {

class BenchPlatform final : public PluginPlatform {
public:
    int64_t now = 1800000000;
    std::vector<ProcessEntry> processes;
    int64_t Now() override { return now; }
    LocalTime Local(int64_t t) override {
        LocalTime l;
        l.second = static_cast<int>(t % 60);
        l.minute = static_cast<int>(t / 60 % 60);
        l.hour = static_cast<int>(t / 3600 % 24);
        l.day_of_month = 1;
        return l;
    }
    bool IsWin9xFamily() override { return false; }
    bool ToolhelpUsable() override { return true; }
    bool PsapiUsable() override { return true; }
    bool ListToolhelp(std::vector<ProcessEntry>& out) override {
        out = processes;
        return true;
    }
    void ListPsapi(std::vector<ProcessEntry>& out, uint32_t& ids) override {
        out = processes;
        ids = static_cast<uint32_t>(processes.size());
    }
    std::string LogDirectory() override { return "C:\\Logs\\"; }
    bool FileExists(const std::string&) override { return false; }
    bool ReadFile(const std::string&, size_t, std::vector<uint8_t>&) override { return false; }
    bool ReplaceFile(const std::string&, const std::vector<uint8_t>&) override { return true; }
    int LoadOwnString(unsigned, char* buffer, int) override {
        buffer[0] = '\0';
        return 0;
    }
    std::vector<std::string> CatalogStrings(const std::vector<unsigned>& ids) override {
        return std::vector<std::string>(ids.size());
    }
    std::vector<std::string> CatalogStringsFor(const std::string&,
                                               const std::vector<unsigned>& ids) override {
        return CatalogStrings(ids);
    }
    std::string LanguageCode() override { return "en"; }
    uintptr_t TraceOpen(const char*, const char*, uint32_t) override { return 0; }
    void TraceClose(uintptr_t) override {}
    void Trace0(uintptr_t, int, const char*) override {}
    void TraceS(uintptr_t, int, const char*, const char*) override {}
    void TraceSS(uintptr_t, int, const char*, const char*, const char*) override {}
    void TraceSI(uintptr_t, int, const char*, const char*, long) override {}
    void TraceI(uintptr_t, int, const char*, long) override {}
    void TraceII(uintptr_t, int, const char*, long, long) override {}
};

} // namespace pm::monitor::bench
