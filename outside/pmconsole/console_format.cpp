// Portable: output of the console. No OS code here.
#include "outside/pmconsole/console_format.h"

#include <cstdio>

namespace pm::console {

std::string HexOf(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out.push_back(kDigits[c >> 4]);
        out.push_back(kDigits[c & 15]);
    }
    return out;
}

bool PrintableText(const std::string& bytes, std::string& text) {
    size_t n = bytes.size();
    if (n > 0 && bytes[n - 1] == '\0') --n;
    if (n == 0) return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x20 || c > 0x7E) return false;
    }
    text = bytes.substr(0, n);
    return true;
}

std::string FormatText(const Reply& reply) {
    char line[64];
    std::snprintf(line, sizeof line, "status: %lu (0x%08lX)\n",
                  static_cast<unsigned long>(reply.status),
                  static_cast<unsigned long>(reply.status));
    std::string out = line;
    for (size_t i = 0; i < reply.items.size(); ++i) {
        const std::string& item = reply.items[i];
        std::snprintf(line, sizeof line, "item %zu (%zu bytes): ", i, item.size());
        out += line;
        out += HexOf(item);
        std::string text;
        if (PrintableText(item, text)) out += "  \"" + text + "\"";
        out += "\n";
    }
    return out;
}

std::string FormatJson(const Reply& reply) {
    std::string out = "{\"status\": " + std::to_string(reply.status) + ", \"items\": [";
    for (size_t i = 0; i < reply.items.size(); ++i) {
        if (i) out += ", ";
        out += "\"" + HexOf(reply.items[i]) + "\"";
    }
    return out + "]}\n";
}

} // namespace pm::console
