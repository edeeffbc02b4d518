// "key = value" files. Portable: no OS code here.
#include "shared/remote/conf_file.h"

namespace pm::remote {
namespace {

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r'))
        --e;
    return s.substr(b, e - b);
}

} // namespace

bool ParseConfText(const std::string& text, std::vector<ConfEntry>& out, std::string& error) {
    out.clear();
    int number = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trim(text.substr(start, end - start));
        ++number;
        start = end + 1;
        if (line.empty() || line[0] == '#') continue;
        const size_t eq = line.find('=');
        const std::string key = eq == std::string::npos ? std::string() : Trim(line.substr(0, eq));
        if (key.empty()) {
            error = "line " + std::to_string(number) + ": expected key = value";
            return false;
        }
        for (const ConfEntry& e : out)
            if (e.key == key) {
                error = "line " + std::to_string(number) + ": " + key + " given twice";
                return false;
            }
        out.push_back({key, Trim(line.substr(eq + 1)), number});
    }
    return true;
}

std::vector<std::string> SplitList(const std::string& value) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = value.find(',', start);
        if (comma == std::string::npos) comma = value.size();
        std::string item = value.substr(start, comma - start);
        size_t b = item.find_first_not_of(" \t");
        size_t e = item.find_last_not_of(" \t");
        if (b != std::string::npos) out.push_back(item.substr(b, e - b + 1));
        start = comma + 1;
    }
    return out;
}

} // namespace pm::remote
