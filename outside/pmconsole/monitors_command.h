// `pmconsole monitors` and `pmconsole stats`: the process monitors' definitions through the
// agent's forwarding (code 0x73124536), or straight to the monitor host with an owner id, and
// the statistics the host read from the node tree. Portable: they talk through ConsoleIo.
// The monitor file they read and print: monitor_file.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "outside/pmconsole/console_commands.h"
#include "outside/pmconsole/monitor_file.h"

namespace pm::console {

extern const char kMonitorsHelp[];
extern const char kStatsHelp[];

int RunMonitors(const std::vector<std::string>& args, ConsoleIo& io);
int RunStats(const std::vector<std::string>& args, ConsoleIo& io);

using monitor::DecodeRecordList;

} // namespace pm::console
