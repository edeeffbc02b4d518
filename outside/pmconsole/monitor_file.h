// The monitor file that `pmconsole monitors update` and `replace-all` read and `monitors list`
// prints: one monitor a line,
//   KEY LEVEL ON TIMEOUT NAME
// KEY the monitor key (decimal or 0x-hex), LEVEL the alert level 0-255, ON the conditions as a
// comma list of start, stop, not-started, quiet (no alerts at all) or "-" for none, TIMEOUT
// the seconds before a not-started alert, NAME the executable (the rest of the line; blanks
// allowed; "\\" and "\xNN" escapes, see visible_text.h). Blank lines and lines starting with
// '#' are skipped. Portable: no OS code here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "shared/monitor/monitor_record.h"

namespace pm::console {

using monitor::MonitorDef;

// "start,stop" <-> condition bits; false for an unknown word.
bool ParseConditions(const std::string& text, uint8_t* conditions);
std::string ConditionText(uint8_t conditions);
// The words of the bits set, in the file's order ("start", "stop", "not-started", "quiet").
std::vector<std::string> ConditionWords(uint8_t conditions);

// One line of the monitor file; false with a message for a malformed one.
bool ParseMonitorLine(const std::string& line, MonitorDef* def, std::string* error);
std::string MonitorLine(const MonitorDef& def);
// A whole file's text: the definitions, or false with "line N: ..." in `error`.
bool ParseMonitorFile(const std::string& text, std::vector<MonitorDef>* defs, std::string* error);

} // namespace pm::console
