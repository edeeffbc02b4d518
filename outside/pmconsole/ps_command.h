// `pmconsole ps`: the agent's processes, services and driver services, once or followed like
// `top`. Portable: talks through ConsoleIo and keeps its copy in ConsoleTables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "outside/console_model/console_tables.h"
#include "outside/pmconsole/console_commands.h"
#include "shared/text/json_string.h"

namespace pm::console {

extern const char kPsHelp[];
int RunPs(const std::vector<std::string>& args, ConsoleIo& io);

// The listing as a person reads it; win95 shows the parent id instead of user and memory.
// num_groups comes from the configuration (0: unknown); with 3 (NT mode) an empty process
// table is explained.
std::string FormatTables(const ConsoleTables& tables, const std::vector<std::string>& priorities,
                         uint32_t num_groups = 0);
// {"clock": N, "processes": [...], "services": [...], "drivers": [...]}.
std::string FormatTablesJson(const ConsoleTables& tables);

using pm::JsonString;

} // namespace pm::console
