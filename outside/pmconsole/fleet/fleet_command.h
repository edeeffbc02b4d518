// `pmconsole fleet`: which machines are there, and one command to many. Portable: the
// cluster comes through ConsoleIo::Fleet().
#pragma once

#include <string>
#include <vector>

#include "outside/pmconsole/console_commands.h"

namespace pm::console {

extern const char kFleetHelp[];
int RunFleet(const std::vector<std::string>& args, ConsoleIo& io);

} // namespace pm::console
