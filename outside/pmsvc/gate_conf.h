// pmgate.conf, the gate's configuration beside the programs: `key = value` lines, `#` comments.
// The service reads it to decide whether the gate runs; the installer's settings step writes
// the keys it was given into it, keeping every other line. Portable; the text may hold any bytes.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pmsvc {

struct GateEntry {
    std::string key; // lower case
    std::string value;
};

struct GateConf {
    std::vector<GateEntry> entries; // in file order; a later key overrides an earlier one
    std::vector<int> bad_lines;     // 1-based numbers of lines that are neither blank,
                                    // comment nor `key = value`
    [[nodiscard]] std::optional<std::string> Get(const std::string& key) const;
};

[[nodiscard]] GateConf ParseGateConf(const std::string& text);

// The gate runs only when its configuration names at least one server.
[[nodiscard]] bool GateConfigured(const GateConf& conf);

// What the installer passes (SERVER=, MACHINE=, CREDENTIALS=); empty fields are left alone.
struct GateSettings {
    std::string servers;
    std::string machine;
    std::string credentials; // the path written into the file
};

// Empty when the settings can go into the file; else why not (one line, for people).
[[nodiscard]] std::string CheckGateSettings(const GateSettings& s);

// `existing` with the given keys set: a key's last line is replaced in place (earlier lines
// of the same key are dropped), missing keys are appended; comments and other keys stay.
[[nodiscard]] std::string UpdateGateConf(const std::string& existing, const GateSettings& s);

} // namespace pmsvc
