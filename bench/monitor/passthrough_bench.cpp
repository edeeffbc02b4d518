// Times the console's listings and the host's statistics read natively through the plug-in's
// core: LIST_ALL and LIST_PIDS over N monitors (two tracked instances each), and one read of
// every statistic of M monitors through the node functions as pmhost does it. Each at two sizes,
// to show that the cost grows linearly. Prints figures; judges nothing.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/monitor/bench_platform.h"
#include "outside/pmhost/host_logic.h"

using namespace pm::monitor;

namespace {

using Clock = std::chrono::steady_clock;

Plugin* g_plugin = nullptr;
uint8_t* TARNVEX_API List(const uint8_t* p) {
    return g_plugin->GetNodeList(p, ReadU32(p));
}
void TARNVEX_API Free(uint8_t* b) {
    Plugin::FreeBuffer(b);
}
uint8_t* TARNVEX_API Attributes(uint32_t h) {
    return g_plugin->GetNodeAttributes(h);
}
uint32_t TARNVEX_API Connect(const uint8_t* p, uint32_t* h, uint8_t* f) {
    return g_plugin->NodeConnect(p, ReadU32(p), h, f);
}
uint32_t TARNVEX_API One(uint32_t) {
    return 1;
}
uint32_t TARNVEX_API NodePulse(uint32_t, uint32_t) {
    return kNodeInterval;
}
uint8_t* TARNVEX_API Value(uint32_t h) {
    return g_plugin->NodeGetValue(h);
}

void Fill(Plugin& plugin, size_t monitors) {
    for (size_t i = 0; i < monitors; ++i) {
        const std::string name = "PROGRAM" + std::to_string(i) + ".EXE";
        ProcMonitor* m = plugin.CreateMonitor(
            MakeRecord(static_cast<uint32_t>(i + 1), 1, 3, 0, name).data(), false, OwnerId{});
        m->tracked = {{1, static_cast<uint32_t>(4 * i + 8)},
                      {1, static_cast<uint32_t>(4 * i + 12)}};
    }
}

double Millis(Clock::time_point from) {
    return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

void Listings(size_t monitors) {
    bench::BenchPlatform platform;
    Plugin plugin(platform);
    plugin.InitIndepMonitors("C:\\Data\\");
    Fill(plugin, monitors);
    for (uint32_t code : {kCmdListAll, kCmdListPids}) {
        uint8_t command[4];
        WriteU32(command, code);
        constexpr int kRounds = 20;
        size_t size = 0;
        const auto start = Clock::now();
        for (int i = 0; i < kRounds; ++i) {
            uint8_t* reply = nullptr;
            uint32_t reply_size = 0;
            plugin.Passthrough2(0, command, sizeof command, &reply, &reply_size, nullptr);
            size = reply_size;
            Plugin::FreeBuffer(reply);
        }
        std::printf("%-10s %6zu monitors: %8.3f ms per command (%zu-byte reply)\n",
                    code == kCmdListAll ? "LIST_ALL" : "LIST_PIDS", monitors,
                    Millis(start) / kRounds, size);
    }
}

void Statistics(size_t monitors) {
    bench::BenchPlatform platform;
    Plugin plugin(platform);
    g_plugin = &plugin;
    plugin.InitIndepMonitors("C:\\Data\\");
    plugin.InitNodes();
    Fill(plugin, monitors);
    pm::host::NodeFunctions fns;
    fns.list = &List;
    fns.free_list = &Free;
    fns.attributes = &Attributes;
    fns.free_attributes = &Free;
    fns.connect = &Connect;
    fns.disconnect = &One;
    fns.pulse = &NodePulse;
    fns.value = &Value;
    fns.free_value = &Free;
    uint32_t interval = 0;
    constexpr int kRounds = 5;
    size_t read = 0;
    const auto start = Clock::now();
    for (int i = 0; i < kRounds; ++i)
        read = pm::host::ReadStatistics(fns, "en_US", &interval).size();
    const double ms = Millis(start) / kRounds;
    std::printf("statistics %6zu monitors: %8.3f ms per read of all 13 values each (%zu read, "
                "%.1f us per monitor)\n",
                monitors, ms, read, 1000.0 * ms / static_cast<double>(monitors));
    g_plugin = nullptr;
}

} // namespace

int main() {
    for (size_t n : {5000, 10000})
        Listings(n);
    for (size_t n : {500, 1000})
        Statistics(n);
    return 0;
}
