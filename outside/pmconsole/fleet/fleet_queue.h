// Commands that wait for a machine, on the console's side: the requests of `fleet exec|kill|svc
// --queue` for the machines nobody answered for go into PROCMGR_QUEUE; `fleet pending` lists
// what waits there, `fleet results` what the gates recorded in PROCMGR_RESULTS (the replies
// decoded by the same command that would have shown a live one). Everything goes through the
// JetStream API's plain requests (FleetBus::Gather). Portable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "outside/pmconsole/console_commands.h"
#include "outside/pmconsole/fleet/fleet_bus.h"
#include "shared/remote/queue.h"

namespace pm::console {

// Creates PROCMGR_QUEUE and PROCMGR_RESULTS or brings their settings up to date.
bool SetupQueueStreams(FleetBus& bus, uint32_t replicas, std::string& error);
// Creates the alert stream (`replicas` copies) or brings its settings up to date.
bool SetupAlertStream(FleetBus& bus, uint32_t replicas, std::string& error);

// Queues one request for `q.machine` (its consumer made first); answers 0, or the exit code
// (4 when the servers do not let this user queue) with one line in `error`.
int QueueRequest(FleetBus& bus, const remote::QueuedRequest& q, std::string& error);

// "90s", "15m", "2h", "7d" as seconds; false otherwise.
bool ParseDuration(const std::string& text, uint64_t& seconds);

struct StreamListing {
    std::string pattern; // machines, as --machines
    bool json = false;
    uint32_t count = 100; // the last N records of the stream at most
    uint64_t now_ms = 0;  // UTC
};

// Both answer the exit code: 0, 3 when the stream cannot be read.
int ShowPending(FleetBus& bus, ConsoleIo& io, const StreamListing& listing);
int ShowResults(FleetBus& bus, ConsoleIo& io, const StreamListing& listing);

} // namespace pm::console
