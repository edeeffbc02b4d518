// `fleet alerts`: the alerts kept in the cluster's stream, through this user's durable
// consumer (each alert shown once) or from a given time; `fleet setup` creates the stream.
// Portable: talks through FleetBus.
#pragma once

#include <cstdint>
#include <string>

#include "outside/pmconsole/console_commands.h"
#include "outside/pmconsole/fleet/fleet_bus.h"

namespace pm::console {

// TIME as "YYYY-MM-DDTHH:MM:SSZ" (UTC) or an age ("90s", "15m", "2h", "7d") before `now_ms`;
// ms since 1970, false when it is neither.
bool ParseSince(const std::string& text, uint64_t now_ms, uint64_t& since_ms);
// "2026-12-07 10:00:01Z".
std::string UtcText(uint64_t ms);

struct AlertsOptions {
    std::string pattern; // machines, as --machines
    AlertReading reading;
    bool json = false;
    uint64_t count = 0; // stop after this many shown (0: no limit)
};

// Shows the stored alerts; answers the exit code (0, or 3 when the stream cannot be read).
int ShowStoredAlerts(FleetBus& bus, ConsoleIo& io, const AlertsOptions& options);

} // namespace pm::console
