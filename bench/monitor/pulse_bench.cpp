// Times one monitor pulse natively through the seams: M monitors, P running processes, every
// process watched by one monitor, all instances tracked already (the steady state), and the
// first pulse that finds them all. Shows that the cost grows linearly with monitors and with
// processes. Prints figures; judges nothing.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/monitor/bench_platform.h"

using namespace pm::monitor;

namespace {

using bench::BenchPlatform;

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
