// `pmconsole fleet alerts --to-alertmanager URL[,URL]` on Linux: the stored alerts posted to
// Alertmanager over HTTP (cpp-httplib's client) through a durable consumer of its own, each
// acknowledged once every Alertmanager accepted it.
#pragma once

#include <string>
#include <vector>

#include "outside/pmconsole/remote_settings.h"

namespace pm::console {

// `args` are those after "fleet". Runs until SIGINT or SIGTERM; answers the exit code.
int RunAlertForwarder(const std::vector<std::string>& args, const RemoteSettings& settings,
                      const std::string& password);

} // namespace pm::console
