// "key = value" files with '#' comments (pmgate.conf, pmconsole.conf). Portable.
#pragma once

#include <string>
#include <vector>

namespace pm::remote {

struct ConfEntry {
    std::string key;
    std::string value;
    int line = 0;
};

// Splits the text into entries: blank lines and lines whose first non-blank is '#' skipped,
// blanks around key and value trimmed, a trailing '\r' dropped. False with "line N: ..." in
// `error` for a line without '=' or with an empty key, or a key given twice.
bool ParseConfText(const std::string& text, std::vector<ConfEntry>& out, std::string& error);

// "a, b ,c" -> {"a","b","c"}; empty items dropped.
std::vector<std::string> SplitList(const std::string& value);

} // namespace pm::remote
