// Portable: machine patterns.
#include "shared/remote/machine_pattern.h"

namespace pm::remote {
namespace {

// '*' and '?' over one name; iterative with one back-track point, so no pattern can blow up.
bool Glob(const std::string& p, const std::string& s) {
    size_t pi = 0, si = 0, star = std::string::npos, mark = 0;
    while (si < s.size()) {
        if (pi < p.size() && (p[pi] == '?' || p[pi] == s[si])) {
            ++pi;
            ++si;
        } else if (pi < p.size() && p[pi] == '*') {
            star = pi++;
            mark = si;
        } else if (star != std::string::npos) {
            pi = star + 1;
            si = ++mark;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == '*')
        ++pi;
    return pi == p.size();
}

} // namespace

bool MachineMatches(const std::string& pattern, const std::string& machine) {
    if (pattern.empty()) return true;
    size_t start = 0;
    for (;;) {
        const size_t comma = pattern.find(',', start);
        const std::string one = pattern.substr(start, comma - start);
        if (!one.empty() && Glob(one, machine)) return true;
        if (comma == std::string::npos) return false;
        start = comma + 1;
    }
}

bool ValidMachinePattern(const std::string& pattern) {
    if (pattern.empty() || pattern.size() > 4096) return false;
    for (char c : pattern)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
              c == '*' || c == '?' || c == ','))
            return false;
    return true;
}

} // namespace pm::remote
