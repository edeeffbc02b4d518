// `pmconsole alerts`: the alerts the monitor host fetched from the plug-in, newest last.
// Portable: it talks through ConsoleIo.
#pragma once

#include <string>
#include <vector>

#include "outside/pmconsole/console_commands.h"

namespace pm::console {

extern const char kAlertsHelp[];
int RunAlerts(const std::vector<std::string>& args, ConsoleIo& io);

} // namespace pm::console
