// `pmconsole serve` on Linux: the web console over HTTP (Debian's cpp-httplib), with its
// live parts as server-sent events, talking to the machines through NATS connections made
// with this console's settings (the credentials stay in this process).
#pragma once

#include <string>
#include <vector>

#include "outside/pmconsole/console_request.h"
#include "outside/pmconsole/remote_settings.h"
#include "outside/console_model/console_tables.h"

namespace pm::console {

// Runs until SIGINT or SIGTERM; answers the exit code (0 stopped, 2 usage, 3 cannot listen).
int RunServe(const std::vector<std::string>& args, const RemoteSettings& settings,
             const std::string& password, CompressedConverter to_compressed, TextDecoder decode);

} // namespace pm::console
