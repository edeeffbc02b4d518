// Portable: argument parsing of the console. No OS code here.
#include "outside/pmconsole/console_request.h"

#include <cctype>

namespace pm::console {

namespace {
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
bool HasHexPrefix(const std::string& t) {
    return t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
}
} // namespace

bool ParseU32(const std::string& text, uint32_t& value) {
    uint64_t v = 0;
    size_t i = 0;
    int base = 10;
    if (HasHexPrefix(text)) {
        base = 16;
        i = 2;
    }
    if (i >= text.size()) return false;
    for (; i < text.size(); ++i) {
        int d = base == 16
                    ? HexDigit(text[i])
                    : (std::isdigit(static_cast<unsigned char>(text[i])) ? text[i] - '0' : -1);
        if (d < 0) return false;
        v = v * base + static_cast<uint64_t>(d);
        if (v > 0xFFFFFFFFull) return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

bool ParseHexBytes(const std::string& text, std::string& bytes) {
    std::string out;
    size_t i = HasHexPrefix(text) ? 2 : 0;
    int high = -1;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c == ' ' || c == ':' || c == '-') {
            if (high >= 0) return false; // a separator inside a byte
            continue;
        }
        int d = HexDigit(c);
        if (d < 0) return false;
        if (high < 0) {
            high = d;
        } else {
            out.push_back(static_cast<char>(high * 16 + d));
            high = -1;
        }
    }
    if (high >= 0) return false;
    bytes = out;
    return true;
}

std::string OptionShown(const std::string& arg) {
    if (arg.empty() || arg[0] != '-') return arg;
    return arg.substr(0, arg.find('='));
}

std::string U32Bytes(uint32_t v) {
    std::string b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return b;
}

bool ParseRawArgs(const std::vector<std::string>& args, CompressedConverter to_compressed,
                  Request& request, std::string& error) {
    Request r;
    bool have_code = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--json") {
            r.json = true;
        } else if (a == "--u32") {
            uint32_t n;
            if (!value(v)) return false;
            if (!ParseU32(v, n)) {
                error = "--u32: not a 32-bit number: " + v;
                return false;
            }
            r.params.push_back(U32Bytes(n));
        } else if (a == "--text") {
            if (!value(v)) return false;
            r.params.push_back(v + std::string(1, '\0'));
        } else if (a == "--cu") {
            if (!value(v)) return false;
            std::string cu;
            if (!to_compressed || !to_compressed(v, cu)) {
                error = "--cu: the text could not be converted to compressed unicode";
                return false;
            }
            r.params.push_back(cu);
        } else if (a == "--hex") {
            if (!value(v)) return false;
            std::string bytes;
            if (!ParseHexBytes(v, bytes)) {
                error = "--hex: not hex bytes: " + v;
                return false;
            }
            r.params.push_back(bytes);
        } else if (a == "--to") {
            if (!value(v)) return false;
            if (v.empty()) {
                error = "--to: empty node name";
                return false;
            }
            r.to = v;
        } else if (a == "--timeout") {
            if (!value(v)) return false;
            if (!ParseU32(v, r.timeout_ms)) {
                error = "--timeout: not a number of milliseconds: " + v;
                return false;
            }
        } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
            error = "unknown option: " + OptionShown(a);
            return false;
        } else if (!have_code) {
            if (!ParseU32(a, r.code)) {
                error = "CODE must be decimal or 0x-hex: " + a;
                return false;
            }
            have_code = true;
        } else {
            error = "unexpected argument: " + a;
            return false;
        }
    }
    if (!have_code) {
        error = "missing CODE";
        return false;
    }
    request = r;
    return true;
}

} // namespace pm::console
