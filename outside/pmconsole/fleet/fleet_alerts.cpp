// Portable: the stored alerts, shown.
#include "outside/pmconsole/fleet/fleet_alerts.h"

#include <cstdio>

#include "outside/pmconsole/fleet/fleet_machines.h"
#include "outside/pmconsole/visible_text.h"
#include "shared/remote/alerts.h"
#include "shared/remote/server_time.h"

namespace pm::console {
namespace {

// The civil date of a day since 1970-01-01 (proleptic Gregorian).
void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

bool Digits(const std::string& s, size_t at, size_t n, unsigned& out) {
    if (at + n > s.size()) return false;
    out = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        out = out * 10 + static_cast<unsigned>(s[i] - '0');
    }
    return true;
}

} // namespace

bool ParseSince(const std::string& t, uint64_t now_ms, uint64_t& since_ms) {
    if (t.size() >= 2 && t.size() <= 8) {
        const char unit = t.back();
        const uint64_t scale = unit == 's'   ? 1000
                               : unit == 'm' ? 60000
                               : unit == 'h' ? 3600000
                               : unit == 'd' ? 86400000
                                             : 0;
        unsigned n = 0;
        if (scale != 0 && Digits(t, 0, t.size() - 1, n)) {
            const uint64_t back = n * scale;
            since_ms = back < now_ms ? now_ms - back : 1;
            return true;
        }
    }
    // An absolute time, as the servers write them (whole seconds, Z, here).
    if (t.size() != 20 || !remote::ParseUtcTime(t, since_ms)) return false;
    if (since_ms == 0) since_ms = 1; // 0 means "not given"
    return true;
}

std::string UtcText(uint64_t ms) {
    const int64_t secs = static_cast<int64_t>(ms / 1000);
    int64_t y;
    unsigned m, d;
    CivilFromDays(secs / 86400, y, m, d);
    const int64_t rest = secs % 86400;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02lld:%02lld:%02lldZ",
                  static_cast<long long>(y), m, d, static_cast<long long>(rest / 3600),
                  static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
    return buf;
}

int ShowStoredAlerts(FleetBus& bus, ConsoleIo& io, const AlertsOptions& o) {
    uint64_t shown = 0, unreadable = 0, impostors = 0;
    std::string error;
    const bool ok = bus.ReadAlerts(
        o.reading,
        [&](const std::string& subject, const std::string& payload) {
            remote::AlertRecord a;
            // Unreadable, or in another machine's name than its subject's: not shown.
            if (!remote::ParseAlertOn(subject, payload, a)) {
                ++(remote::ParseAlert(payload, a) ? impostors : unreadable);
                return true;
            }
            if (!MachineMatches(o.pattern, a.machine)) return true;
            if (o.json) {
                io.Out(payload + "\n");
            } else {
                char code[16];
                std::snprintf(code, sizeof code, "0x%08X", a.code);
                io.Out(UtcText(a.time_ms) + "  " + a.machine + "  #" + std::to_string(a.seq) +
                       "  " + VisibleField(a.monitor) + "  " + code + "  " + VisibleField(a.text) +
                       "\n");
            }
            ++shown;
            return o.count == 0 || shown < o.count;
        },
        error);
    if (!ok) {
        io.Err("pmconsole fleet alerts: " + error + "\n");
        return kExitNoReply;
    }
    std::string summary = std::to_string(shown) + " alerts";
    if (unreadable > 0) summary += ", " + std::to_string(unreadable) + " unreadable skipped";
    if (impostors > 0)
        summary += ", " + std::to_string(impostors) + " in another machine's name skipped";
    (o.json ? io.Err(summary + "\n") : io.Out(summary + "\n"));
    return kExitReply;
}

} // namespace pm::console
