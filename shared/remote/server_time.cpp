// Portable: the servers' times of a pulled request.
#include "shared/remote/server_time.h"

#include <vector>

#include "shared/remote/queue.h"
#include "shared/text/json_scanner.h"

namespace pm::remote {
namespace {

std::vector<std::string> Tokens(const std::string& subject) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t dot = subject.find('.', start);
        out.push_back(subject.substr(start, dot == std::string::npos ? dot : dot - start));
        if (dot == std::string::npos) return out;
        start = dot + 1;
    }
}

// `n` decimal digits at `at`.
bool Digits(const std::string& s, size_t at, size_t n, int& out) {
    if (at + n > s.size()) return false;
    out = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

} // namespace

bool ReadAckSubject(const std::string& reply, uint64_t& stream_seq, uint64_t& stored_ms) {
    const std::vector<std::string> t = Tokens(reply);
    if (t.size() < 2 || t[0] != "$JS" || t[1] != "ACK") return false;
    // 9 tokens, or 11 and more with the domain and the account hash after ACK.
    size_t at = 0;
    if (t.size() == 9) {
        at = 5;
    } else if (t.size() >= 11) {
        at = 7;
    } else {
        return false;
    }
    uint64_t seq = 0, ns = 0;
    if (!JsonUnsigned(t[at], seq) || !JsonUnsigned(t[at + 2], ns) || seq == 0 || ns == 0)
        return false;
    stream_seq = seq;
    stored_ms = ns / 1000000;
    return true;
}

bool ReadLastDelivery(const std::string& answer, uint64_t& stream_seq, uint64_t& at_ms) {
    std::string delivered, raw, text;
    uint64_t seq = 0, ms = 0;
    if (!JsonMember(answer, "delivered", delivered) || !JsonMember(delivered, "stream_seq", raw) ||
        !JsonUnsigned(raw, seq) || !JsonMember(delivered, "last_active", raw))
        return false;
    JsonScanner s(raw);
    if (!s.String(text) || !s.AtEnd() || !ParseUtcTime(text, ms)) return false;
    stream_seq = seq;
    at_ms = ms;
    return true;
}

bool ParseUtcTime(const std::string& s, uint64_t& ms) {
    // YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM)
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    if (!Digits(s, 0, 4, y) || s.size() < 20 || s[4] != '-' || !Digits(s, 5, 2, mo) ||
        s[7] != '-' || !Digits(s, 8, 2, d) || (s[10] != 'T' && s[10] != 't') ||
        !Digits(s, 11, 2, h) || s[13] != ':' || !Digits(s, 14, 2, mi) || s[16] != ':' ||
        !Digits(s, 17, 2, sec) || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 ||
        sec > 60)
        return false;
    size_t i = 19;
    int64_t frac_ms = 0;
    if (s[i] == '.') {
        size_t n = 0;
        for (++i; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++n)
            if (n < 3) frac_ms = frac_ms * 10 + (s[i] - '0');
        if (n == 0) return false;
        for (; n < 3; ++n)
            frac_ms *= 10;
    }
    int64_t offset_s = 0;
    if (i + 1 == s.size() && (s[i] == 'Z' || s[i] == 'z')) {
        // UTC
    } else if (i + 6 == s.size() && (s[i] == '+' || s[i] == '-') && s[i + 3] == ':') {
        int oh = 0, om = 0;
        if (!Digits(s, i + 1, 2, oh) || !Digits(s, i + 4, 2, om) || oh > 23 || om > 59)
            return false;
        offset_s = (s[i] == '+' ? 1 : -1) * (oh * 3600 + om * 60);
    } else {
        return false;
    }
    const int64_t seconds = DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + sec - offset_s;
    if (seconds < 0) return false;
    ms = static_cast<uint64_t>(seconds) * 1000 + static_cast<uint64_t>(frac_ms);
    return true;
}

} // namespace pm::remote
