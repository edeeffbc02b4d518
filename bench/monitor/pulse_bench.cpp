// Times one monitor pulse natively through the seams: M monitors, P running processes, every
// process watched by one monitor, all instances tracked already (the steady state), and the
// first pulse that finds them all. Shows that the cost grows linearly with monitors and with
// processes. Prints figures; judges nothing.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "procman/com/plugin.h"

using namespace pm::monitor;

namespace {

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

struct Figures {
    double first_ms;
    double steady_ms;
};

Figures Run(size_t monitors, size_t processes) {
    BenchPlatform platform;
    Plugin plugin(platform);
    plugin.RecordReferenceDay();
    plugin.InitIndepMonitors("C:\\Data\\");
    for (size_t i = 0; i < monitors; ++i) {
        const std::string name = "PROGRAM" + std::to_string(i) + ".EXE";
        plugin.CreateMonitor(MakeRecord(static_cast<uint32_t>(i), 1, 0, 0, name).data(), false,
                             OwnerId{});
    }
    for (size_t p = 0; p < processes; ++p)
        platform.processes.push_back(
            {"C:\\Program Files\\Vendor\\Product\\PROGRAM" + std::to_string(p % monitors) + ".EXE",
             static_cast<uint32_t>(4 * p + 8)});
    using Clock = std::chrono::steady_clock;
    uint32_t alerts = 0;
    auto t0 = Clock::now();
    plugin.IndepMonitorPulse(0, 15000, &alerts);
    const double first = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    const int rounds = 200;
    t0 = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        platform.now += 15;
        plugin.IndepMonitorPulse(0, 15000, &alerts);
    }
    const double steady =
        std::chrono::duration<double, std::milli>(Clock::now() - t0).count() / rounds;
    return {first, steady};
}

} // namespace

int main() {
    struct Case {
        size_t monitors, processes;
    };
    const Case cases[] = {{1000, 1000}, {10000, 1000}, {1000, 10000}};
    std::printf("%-10s %-10s %14s %14s\n", "monitors", "processes", "first pulse ms", "pulse ms");
    double base = 0;
    for (const Case& c : cases) {
        Figures f = Run(c.monitors, c.processes);
        if (base == 0) base = f.steady_ms;
        std::printf("%-10zu %-10zu %14.3f %14.3f  (x%.1f of 1000 x 1000)\n", c.monitors,
                    c.processes, f.first_ms, f.steady_ms, f.steady_ms / base);
    }
    return 0;
}
