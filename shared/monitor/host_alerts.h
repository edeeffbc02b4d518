// The monitor host's alerts as it keeps them, logs them and hands them to the console: the
// record, its wire item, its JSON line, the ring of the last 1,000, and the reading of the
// plug-in's node-path packets. Portable: texts arrive already in UTF-8. No OS code here.
//
// The host's command codes (requests to "KAVMonitorClientNC"):
//
// | Code       | Parameters              | Reply                                                  |
// |------------|-------------------------|--------------------------------------------------------|
// | 0x504D4801 | u32 after (optional, 0) | status 0; item 0: u32 newest sequence number; then one |
// |            |                         | item per kept alert numbered above `after`, oldest     |
// |            |                         | first (EncodeAlert)                                    |
// | 0x504D4802 | none                    | status 0; item 0: u32 alerts kept, u32 newest sequence,
// | |            |                         | u32 pulses done, u32 pulse interval in ms |
//
// Any other code answers status 1 (invalid command) with no item.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "shared/text/json_string.h"

namespace pm::host {

constexpr const char* kHostNodeName = "KAVMonitorClientNC";
constexpr uint32_t kCmdListAlerts = 0x504D4801;
constexpr uint32_t kCmdHostStatus = 0x504D4802;
constexpr size_t kKeptAlerts = 1000;

struct HostAlert {
    uint32_t seq = 0;
    uint32_t time = 0; // seconds since 1970
    uint16_t level = 0;
    uint16_t alert_class = 0;
    std::array<uint8_t, 8> owner{};
    std::string key;     // "process.started", ...
    std::string process; // the process name
    std::vector<std::string> display;
    std::vector<std::string> symbolic;
};

// "started", "stopped", "failed to start" by the alert class; "class 0x..." otherwise.
std::string KindWords(uint16_t alert_class);
std::string OwnerHex(const std::array<uint8_t, 8>& owner);
// "YYYY-MM-DDTHH:MM:SSZ".
std::string UtcText(uint32_t seconds);

// One wire item: u32 seq, u32 time, u16 level, u16 class, 8 owner bytes, then key and process
// NUL-terminated, then u8 count and that many NUL-terminated display elements, the same for the
// symbolic ones.
std::string EncodeAlert(const HostAlert& a);
// False for bytes that do not hold exactly one such item.
bool DecodeAlert(const std::string& bytes, HostAlert* a);

// {"seq":..,"time":..,"time_utc":"..","level":..,"class":..,"kind":"..","key":"..",
//  "process":"..","owner":"hex","display":[..],"symbolic":[..]} without a line end; texts that
// are not valid UTF-8 are made so (ValidUtf8), so the line is valid JSON whatever the names.
std::string AlertJson(const HostAlert& a);
using pm::JsonString;

class AlertRing {
public:
    // Numbers the alert (1, 2, ...) and keeps it, dropping the oldest beyond kKeptAlerts.
    const HostAlert& Add(HostAlert a);
    // The kept alerts numbered above `after`, oldest first.
    [[nodiscard]] std::vector<const HostAlert*> Since(uint32_t after) const;
    [[nodiscard]] uint32_t Newest() const { return next_seq_ - 1; }
    [[nodiscard]] size_t Size() const { return kept_.size(); }

private:
    std::deque<HostAlert> kept_;
    uint32_t next_seq_ = 1;
};

} // namespace pm::host
