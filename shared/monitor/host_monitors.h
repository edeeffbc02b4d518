// The monitor host's monitor commands and statistics as the console and the gate see them: the
// request codes and the statistics' wire item. The host's own side (running a command through
// the plug-in, reading the node tree, the metrics file) lives in outside/pmhost (host_logic.h);
// the forwarded request 0x10D in forwarded_command.h. Portable: no OS code here.
//
// Codes (requests to "KAVMonitorClientNC"), besides those of host_alerts.h:
//
// | Code       | Parameters                                     | Reply                       |
// |------------|------------------------------------------------|-----------------------------|
// | 0x10D      | 0: plug-in "TARNVEX" and monitor id 1093223018 | status 0 and the plug-in's  |
// |            | 1: the console's command buffer, wrapped       | reply as item 0 (none when  |
// |            | (forwarded by quorlent; no owner)              | the command has no reply);  |
// |            |                                                | status 1 when refused       |
// | 0x504D4803 | 0: 8-byte owner id; 1: a command buffer        | as 0x10D, with that owner   |
// | 0x504D4804 | 0 (optional): a monitor name, UTF-8            | status 0; item 0: u32 reads |
// |            |                                                | done, u32 time of the last  |
// |            |                                                | read, u32 monitors; then one|
// |            |                                                | item per monitor (EncodeStats)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace pm::host {

constexpr uint32_t kCmdMonitorCommand = 0x504D4803;
constexpr uint32_t kCmdStatistics = 0x504D4804;
constexpr size_t kStatCount = 13; // leaves 1-10 and the three alert nodes

// One monitor's statistics as the node tree gave them.
struct MonitorStats {
    std::string name;                       // UTF-8
    std::array<std::string, 10> leaf_names; // UTF-8, as the catalog named them
    std::array<double, kStatCount> values{};
    std::array<bool, kStatCount> read{}; // false where the node gave no value
};

// Wire item: name NUL, the ten leaf names NUL-terminated, u16 bits of the values read, then 13
// little-endian f64.
std::string EncodeStats(const MonitorStats& s);
bool DecodeStats(const std::string& bytes, MonitorStats* s);

// The names the statistics' values go by in the host's wire item and the console's output, in
// the order of the values and in the node tree's own units (execution times in minutes).
const std::array<const char*, kStatCount>& MetricNames();

} // namespace pm::host
