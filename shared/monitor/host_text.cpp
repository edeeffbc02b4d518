// Portable: no OS code here.
#include "shared/monitor/host_text.h"

#include <cstdint>

namespace pm::host {

namespace {

constexpr const char kReplacement[] = "\xEF\xBF\xBD"; // U+FFFD

// The length of the well-formed sequence at `at` (1-4), or 0 with `bad` set to the length of
// its maximal ill-formed part (at least 1).
size_t SequenceAt(const std::string& s, size_t at, size_t* bad) {
    const auto byte = [&](size_t i) -> unsigned {
        return at + i < s.size() ? static_cast<uint8_t>(s[at + i]) : 0x100;
    };
    const unsigned b0 = byte(0);
    if (b0 < 0x80) return 1;
    size_t need = 0;
    unsigned lo = 0x80, hi = 0xBF; // the range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) lo = 0xA0; // no overlong form
        if (b0 == 0xED) hi = 0x9F; // no surrogate
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) lo = 0x90; // no overlong form
        if (b0 == 0xF4) hi = 0x8F; // nothing above U+10FFFF
    } else {
        *bad = 1;
        return 0;
    }
    for (size_t i = 1; i <= need; ++i) {
        const unsigned b = byte(i);
        const bool ok = i == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
        if (!ok) {
            *bad = i;
            return 0;
        }
    }
    return need + 1;
}

} // namespace

std::string ValidUtf8(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t at = 0; at < bytes.size();) {
        size_t bad = 0;
        const size_t n = SequenceAt(bytes, at, &bad);
        if (n) {
            out.append(bytes, at, n);
            at += n;
        } else {
            out += kReplacement;
            at += bad;
        }
    }
    return out;
}

std::string PrometheusLabelValue(const std::string& bytes) {
    std::string out;
    for (char c : ValidUtf8(bytes)) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

} // namespace pm::host
