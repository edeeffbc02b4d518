// NATS header blocks. Portable: no OS code here.
#include "shared/nats/headers.h"

namespace pm::nats {
namespace {

bool SameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return std::string();
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

} // namespace

const std::string* HeaderBlock::Find(const std::string& key) const {
    for (const auto& f : fields)
        if (SameNoCase(f.first, key)) return &f.second;
    return nullptr;
}

std::string BuildHeaderBlock(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string out = "NATS/1.0\r\n";
    for (const auto& f : fields)
        out += f.first + ": " + f.second + "\r\n";
    return out + "\r\n";
}

bool ParseHeaderBlock(const std::string& bytes, HeaderBlock& out) {
    HeaderBlock h;
    if (bytes.compare(0, 8, "NATS/1.0") != 0 || bytes.size() < 12 ||
        bytes.compare(bytes.size() - 4, 4, "\r\n\r\n") != 0)
        return false;
    size_t end = bytes.find("\r\n");
    std::string first = bytes.substr(8, end - 8);
    first = Trim(first);
    if (!first.empty()) {
        size_t k = 0;
        int code = 0;
        while (k < first.size() && k < 3 && first[k] >= '0' && first[k] <= '9')
            code = code * 10 + (first[k++] - '0');
        if (k != 3) return false;
        h.code = code;
        h.description = Trim(first.substr(3));
    }
    size_t at = end + 2;
    while (at < bytes.size()) {
        end = bytes.find("\r\n", at);
        if (end == std::string::npos) return false;
        if (end == at) break; // the empty line
        const std::string line = bytes.substr(at, end - at);
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) return false;
        h.fields.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
        at = end + 2;
    }
    out = h;
    return true;
}

} // namespace pm::nats
