// Portable: no OS code.
#include "shared/text/json_scanner.h"

namespace pm {
namespace {

constexpr int kMaxDepth = 32;

bool Blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int HexDigit(char h) {
    return (h >= '0' && h <= '9')   ? h - '0'
           : (h >= 'a' && h <= 'f') ? h - 'a' + 10
           : (h >= 'A' && h <= 'F') ? h - 'A' + 10
                                    : -1;
}

} // namespace

void JsonScanner::Blank() {
    while (i_ < s_.size() && pm::Blank(s_[i_]))
        ++i_;
}

bool JsonScanner::Take(char c) {
    Blank();
    if (i_ < s_.size() && s_[i_] == c) {
        ++i_;
        return true;
    }
    return false;
}

bool JsonScanner::AtEnd() {
    Blank();
    return i_ == s_.size();
}

char JsonScanner::Peek() {
    Blank();
    return i_ < s_.size() ? s_[i_] : '\0';
}

bool JsonScanner::String(std::string& out) {
    out.clear();
    if (!Take('"')) return false;
    while (i_ < s_.size()) {
        char c = s_[i_++];
        if (c == '"') return true;
        if (c == '\\') {
            if (i_ >= s_.size()) return false;
            c = s_[i_++];
            switch (c) {
            case 'n':
                c = '\n';
                break;
            case 't':
                c = '\t';
                break;
            case 'r':
                c = '\r';
                break;
            case 'b':
                c = '\b';
                break;
            case 'f':
                c = '\f';
                break;
            case 'u': {
                if (i_ + 4 > s_.size()) return false;
                unsigned v = 0;
                for (int k = 0; k < 4; ++k) {
                    const int d = HexDigit(s_[i_++]);
                    if (d < 0) return false;
                    v = v * 16 + static_cast<unsigned>(d);
                }
                c = v < 0x80 ? static_cast<char>(v) : '?';
                break;
            }
            default:
                break;
            }
        }
        out += c;
    }
    return false;
}

bool JsonScanner::Atom(std::string& out) {
    Blank();
    out.clear();
    while (i_ < s_.size()) {
        const char c = s_[i_];
        if (c == ',' || c == '}' || c == ']' || c == '"' || c == '{' || c == '[' || c == ':' ||
            pm::Blank(c))
            break;
        out += c;
        ++i_;
    }
    return !out.empty();
}

bool JsonScanner::Skip(int depth) {
    if (depth > kMaxDepth) return false;
    std::string ignored;
    const char c = Peek();
    if (c == '"') return String(ignored);
    if (c == '{' || c == '[') {
        const char close = c == '{' ? '}' : ']';
        ++i_;
        if (Take(close)) return true;
        for (;;) {
            if (c == '{' && (!String(ignored) || !Take(':'))) return false;
            if (!Skip(depth + 1)) return false;
            if (Take(close)) return true;
            if (!Take(',')) return false;
        }
    }
    return Atom(ignored);
}

bool JsonUnsigned(const std::string& text, uint64_t& out) {
    if (text.empty() || text.size() > 19) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    out = v;
    return true;
}

} // namespace pm
