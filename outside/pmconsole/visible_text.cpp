// Portable: control characters made visible.
#include "outside/pmconsole/visible_text.h"

#include <cstdio>

namespace pm::console {
namespace {

bool Continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 character at `at` (2 to 4), or 0.
size_t Utf8Length(std::string_view s, size_t at) {
    const auto c = static_cast<unsigned char>(s[at]);
    const size_t n = c >= 0xC2 && c <= 0xDF   ? 2
                     : c >= 0xE0 && c <= 0xEF ? 3
                     : c >= 0xF0 && c <= 0xF4 ? 4
                                              : 0;
    if (n == 0 || s.size() - at < n) return 0;
    for (size_t k = 1; k < n; ++k)
        if (!Continuation(static_cast<unsigned char>(s[at + k]))) return 0;
    return n;
}

void AppendEscape(std::string& out, const char* prefix, unsigned char byte) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%s%02x", prefix, byte);
    out += buf;
}

enum class Mode { kTerminal, kField, kName };

std::string Escape(std::string_view s, Mode mode) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F) {
            const bool keep =
                mode == Mode::kTerminal &&
                (c == '\n' || c == '\t' || (c == '\r' && i + 1 < s.size() && s[i + 1] == '\n'));
            if (keep)
                out += static_cast<char>(c);
            else
                AppendEscape(out, "\\x", c);
            ++i;
        } else if (c < 0x80) {
            if (mode == Mode::kName && c == '\\')
                out += "\\\\";
            else if (mode == Mode::kName && c == ' ' && (i == 0 || i + 1 == s.size()))
                AppendEscape(out, "\\x", c);
            else
                out += static_cast<char>(c);
            ++i;
        } else if (const size_t n = Utf8Length(s, i); n != 0) {
            const auto next = static_cast<unsigned char>(s[i + 1]);
            if (c == 0xC2 && next <= 0x9F) { // U+0080-U+009F
                if (mode != Mode::kName) {
                    AppendEscape(out, "\\u00", next);
                } else {
                    AppendEscape(out, "\\x", c);
                    AppendEscape(out, "\\x", next);
                }
            } else {
                out.append(s.substr(i, n));
            }
            i += n;
        } else {
            if (c <= 0x9F)
                AppendEscape(out, "\\x", c);
            else
                out += static_cast<char>(c);
            ++i;
        }
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

std::string VisibleText(std::string_view bytes) {
    return Escape(bytes, Mode::kTerminal);
}

std::string VisibleField(std::string_view bytes) {
    return Escape(bytes, Mode::kField);
}

std::string EscapeName(std::string_view name) {
    return Escape(name, Mode::kName);
}

std::string UnescapeName(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
                   HexDigit(text[i + 2]) >= 0 && HexDigit(text[i + 3]) >= 0) {
            out += static_cast<char>(HexDigit(text[i + 2]) * 16 + HexDigit(text[i + 3]));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace pm::console
