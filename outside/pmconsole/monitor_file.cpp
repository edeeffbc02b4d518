// Portable: the monitor file's lines. No OS code here.
#include "outside/pmconsole/monitor_file.h"

#include <sstream>

#include "outside/pmconsole/console_request.h"
#include "outside/pmconsole/visible_text.h"
#include "shared/monitor/monitor_record.h"

namespace pm::console {
namespace {

struct Word {
    const char* text;
    uint8_t bit;
};
constexpr Word kWords[] = {{"start", monitor::kCondRunning},
                           {"stop", monitor::kCondTermination},
                           {"not-started", monitor::kCondNotStarted},
                           {"quiet", monitor::kCondNewServer}};

} // namespace

bool ParseConditions(const std::string& text, uint8_t* conditions) {
    uint8_t bits = 0;
    if (text != "-") {
        std::stringstream s(text);
        std::string w;
        while (std::getline(s, w, ',')) {
            bool known = false;
            for (const Word& k : kWords)
                if (w == k.text) {
                    bits |= k.bit;
                    known = true;
                }
            if (!known) return false;
        }
    }
    *conditions = bits;
    return true;
}

std::vector<std::string> ConditionWords(uint8_t conditions) {
    std::vector<std::string> words;
    for (const Word& w : kWords)
        if (conditions & w.bit) words.emplace_back(w.text);
    return words;
}

std::string ConditionText(uint8_t conditions) {
    std::string out;
    for (const std::string& w : ConditionWords(conditions))
        out += (out.empty() ? "" : ",") + w;
    return out.empty() ? "-" : out;
}

bool ParseMonitorLine(const std::string& line, MonitorDef* def, std::string* error) {
    std::istringstream s(line);
    std::string key, level, on, timeout;
    if (!(s >> key >> level >> on >> timeout)) {
        *error = "expected KEY LEVEL ON TIMEOUT NAME";
        return false;
    }
    std::string name;
    std::getline(s, name);
    const size_t b = name.find_first_not_of(" \t");
    const size_t e = name.find_last_not_of(" \t\r");
    name = b == std::string::npos ? "" : name.substr(b, e - b + 1);
    MonitorDef d;
    uint32_t n = 0;
    if (!ParseU32(key, d.key)) {
        *error = "bad key: " + key;
        return false;
    }
    if (!ParseU32(level, n) || n > 255) {
        *error = "bad level: " + level;
        return false;
    }
    d.level = static_cast<uint8_t>(n);
    if (!ParseConditions(on, &d.conditions)) {
        *error = "bad conditions: " + on;
        return false;
    }
    if (!ParseU32(timeout, n) || n > 0xFFFF) {
        *error = "bad start timeout: " + timeout;
        return false;
    }
    d.start_timeout = static_cast<uint16_t>(n);
    if (name.empty()) {
        *error = "no executable name";
        return false;
    }
    d.name = UnescapeName(name);
    *def = d;
    return true;
}

std::string MonitorLine(const MonitorDef& d) {
    return std::to_string(d.key) + " " + std::to_string(d.level) + " " +
           ConditionText(d.conditions) + " " + std::to_string(d.start_timeout) + " " +
           EscapeName(d.name);
}

bool ParseMonitorFile(const std::string& text, std::vector<MonitorDef>* defs, std::string* error) {
    std::istringstream s(text);
    std::string line;
    size_t number = 0;
    while (std::getline(s, line)) {
        ++number;
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        MonitorDef d;
        std::string e;
        if (!ParseMonitorLine(line, &d, &e)) {
            *error = "line " + std::to_string(number) + ": " + e;
            return false;
        }
        defs->push_back(d);
    }
    return true;
}

} // namespace pm::console
