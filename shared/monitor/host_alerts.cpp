// Portable: no OS code here.
#include "shared/monitor/host_alerts.h"

#include <cstdio>
#include <cstring>
#include "shared/monitor/host_text.h"
#include "shared/base/endian.h"

namespace pm::host {

namespace {

void PutU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void PutU16(std::string& out, uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}

// Reads a NUL-terminated text at `at`; false when no NUL follows within the bytes.
bool GetText(const std::string& bytes, size_t& at, std::string* out) {
    size_t end = bytes.find('\0', at);
    if (end == std::string::npos) return false;
    *out = bytes.substr(at, end - at);
    at = end + 1;
    return true;
}

void PutList(std::string& out, const std::vector<std::string>& list) {
    const size_t n = list.size() > 255 ? 255 : list.size();
    out.push_back(static_cast<char>(n));
    for (size_t i = 0; i < n; ++i) {
        out += list[i].substr(0, list[i].find('\0'));
        out.push_back('\0');
    }
}

bool GetList(const std::string& bytes, size_t& at, std::vector<std::string>* list) {
    if (at >= bytes.size()) return false;
    const size_t n = static_cast<uint8_t>(bytes[at++]);
    list->clear();
    for (size_t i = 0; i < n; ++i) {
        std::string s;
        if (!GetText(bytes, at, &s)) return false;
        list->push_back(s);
    }
    return true;
}

std::string JsonList(const std::vector<std::string>& list) {
    std::string out = "[";
    for (size_t i = 0; i < list.size(); ++i)
        out += (i ? ", " : "") + JsonString(ValidUtf8(list[i]));
    return out + "]";
}

} // namespace

std::string KindWords(uint16_t alert_class) {
    switch (alert_class) {
    case 0x405:
        return "started";
    case 0x305:
        return "stopped";
    case 0x105:
        return "failed to start";
    default: {
        char buf[24];
        std::snprintf(buf, sizeof buf, "class 0x%X", alert_class);
        return buf;
    }
    }
}

std::string OwnerHex(const std::array<uint8_t, 8>& owner) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : owner) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

std::string UtcText(uint32_t seconds) {
    // Days to a civil date (proleptic Gregorian).
    int64_t z = seconds / 86400 + 719468;
    const int64_t era = z / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    const uint32_t s = seconds % 86400;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02u:%02u:%02uZ", static_cast<int>(year),
                  static_cast<int>(month), static_cast<int>(day), s / 3600, s / 60 % 60, s % 60);
    return buf;
}

std::string EncodeAlert(const HostAlert& a) {
    std::string out;
    PutU32(out, a.seq);
    PutU32(out, a.time);
    PutU16(out, a.level);
    PutU16(out, a.alert_class);
    out.append(reinterpret_cast<const char*>(a.owner.data()), a.owner.size());
    out += a.key.substr(0, a.key.find('\0'));
    out.push_back('\0');
    out += a.process.substr(0, a.process.find('\0'));
    out.push_back('\0');
    PutList(out, a.display);
    PutList(out, a.symbolic);
    return out;
}

bool DecodeAlert(const std::string& bytes, HostAlert* a) {
    constexpr size_t kFixed = 4 + 4 + 2 + 2 + 8;
    if (bytes.size() < kFixed) return false;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    HostAlert out;
    out.seq = le::Load32(p);
    out.time = le::Load32(p + 4);
    out.level = le::Load16(p + 8);
    out.alert_class = le::Load16(p + 10);
    std::memcpy(out.owner.data(), p + 12, 8);
    size_t at = kFixed;
    if (!GetText(bytes, at, &out.key) || !GetText(bytes, at, &out.process) ||
        !GetList(bytes, at, &out.display) || !GetList(bytes, at, &out.symbolic))
        return false;
    if (at != bytes.size()) return false;
    *a = out;
    return true;
}

std::string AlertJson(const HostAlert& a) {
    char head[160];
    std::snprintf(head, sizeof head,
                  "{\"seq\": %u, \"time\": %u, \"time_utc\": \"%s\", \"level\": %u, "
                  "\"class\": %u, ",
                  a.seq, a.time, UtcText(a.time).c_str(), a.level, a.alert_class);
    return head + std::string("\"kind\": ") + JsonString(KindWords(a.alert_class)) +
           ", \"key\": " + JsonString(ValidUtf8(a.key)) +
           ", \"process\": " + JsonString(ValidUtf8(a.process)) + ", \"owner\": \"" +
           OwnerHex(a.owner) + "\", \"display\": " + JsonList(a.display) +
           ", \"symbolic\": " + JsonList(a.symbolic) + "}";
}

const HostAlert& AlertRing::Add(HostAlert a) {
    a.seq = next_seq_++;
    kept_.push_back(std::move(a));
    if (kept_.size() > kKeptAlerts) kept_.pop_front();
    return kept_.back();
}

std::vector<const HostAlert*> AlertRing::Since(uint32_t after) const {
    std::vector<const HostAlert*> out;
    for (const HostAlert& a : kept_)
        if (a.seq > after) out.push_back(&a);
    return out;
}

} // namespace pm::host
