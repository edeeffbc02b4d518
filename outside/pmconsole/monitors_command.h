// `pmconsole monitors` and `pmconsole stats`: the process monitors' definitions through the
// agent's forwarding (code 0x73124536), or straight to the monitor host with an owner id, and
// the statistics the host read from the node tree. Portable: they talk through ConsoleIo.
//
// Monitor file (update, replace-all; also what `monitors list` prints): one monitor a line,
//   KEY LEVEL ON TIMEOUT NAME
// KEY the monitor key (decimal or 0x-hex), LEVEL the alert level 0-255, ON the conditions as a
// comma list of start, stop, not-started, quiet (no alerts at all) or "-" for none, TIMEOUT
// the seconds before a not-started alert, NAME the executable (the rest of the line; blanks
// allowed; "\\" and "\xNN" escapes, see visible_text.h). Blank lines and lines starting with
// '#' are skipped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "outside/pmconsole/console_commands.h"

namespace pm::console {

extern const char kMonitorsHelp[];
extern const char kStatsHelp[];

int RunMonitors(const std::vector<std::string>& args, ConsoleIo& io);
int RunStats(const std::vector<std::string>& args, ConsoleIo& io);

// One monitor definition as the console shows and writes it (name in ANSI/UTF-8 text).
struct MonitorDef {
    uint32_t key = 0;
    uint8_t level = 0;
    uint8_t conditions = 0;
    uint16_t start_timeout = 0;
    std::string name;
};

// "start,stop" <-> condition bits; false for an unknown word.
bool ParseConditions(const std::string& text, uint8_t* conditions);
std::string ConditionText(uint8_t conditions);

// One line of the monitor file; false with a message for a malformed one.
bool ParseMonitorLine(const std::string& line, MonitorDef* def, std::string* error);
std::string MonitorLine(const MonitorDef& def);
// A whole file's text: the definitions, or false with "line N: ..." in `error`.
bool ParseMonitorFile(const std::string& text, std::vector<MonitorDef>* defs, std::string* error);

// A record list reply (LIST_ALL); false when it does not hold together.
bool DecodeRecordList(const std::string& reply, TextDecoder decode, std::vector<MonitorDef>* out);

} // namespace pm::console
