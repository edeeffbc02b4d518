// Portable: no OS code here.
#include "shared/monitor/node_packets.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "shared/monitor/monitor_record.h"

namespace pm::monitor {

bool ReadNodePathPacket(const uint8_t* packet, size_t available, NodePath* out) {
    if (!packet || available < kPacketHeaderSize) return false;
    const size_t size = ReadU32(packet);
    if (size < kPacketHeaderSize || size > available) return false;
    const uint32_t members = ReadU32(packet + 11);
    if (members > 4) return false;
    NodePath path;
    std::memcpy(path.language.data(), packet + kLanguageFieldAt, kLanguageFieldSize);
    for (uint32_t i = 0; i < members; ++i) {
        const size_t at = ReadU32(packet + 15 + 4 * i);
        if (at < kPacketHeaderSize || at >= size) return false;
        const void* nul = std::memchr(packet + at, 0, size - at);
        if (!nul) return false;
        path.elements.emplace_back(reinterpret_cast<const char*>(packet + at),
                                   static_cast<const uint8_t*>(nul) - (packet + at));
    }
    if (out) *out = std::move(path);
    return true;
}

std::vector<uint8_t> BuildNodeList(const std::array<uint8_t, kLanguageFieldSize>& language,
                                   const std::vector<NodeListEntry>& entries, uint8_t leaf_flag) {
    size_t total = kNodeListHeader;
    for (const NodeListEntry& e : entries)
        total += kNodeEntryFixed + e.pretty_name.size() + e.sym_name.size();
    std::vector<uint8_t> list(total, 0);
    WriteU32(&list[0], kNodeListHeader);
    list[4] = 2;
    WriteU32(&list[5], static_cast<uint32_t>(total));
    WriteU32(&list[9], static_cast<uint32_t>(entries.size()));
    size_t at = kNodeListHeader;
    for (const NodeListEntry& e : entries) {
        uint8_t* p = &list[at];
        const size_t size = kNodeEntryFixed + e.pretty_name.size() + e.sym_name.size();
        WriteU32(p, static_cast<uint32_t>(size));
        p[4] = 1;
        std::memcpy(p + 5, language.data(), language.size());
        p[11] = leaf_flag;
        p[12] = 1;
        WriteU32(p + 13, 21);
        WriteU32(p + 17, static_cast<uint32_t>(22 + e.pretty_name.size()));
        std::memcpy(p + 21, e.pretty_name.data(), e.pretty_name.size());
        std::memcpy(p + 22 + e.pretty_name.size(), e.sym_name.data(), e.sym_name.size());
        at += size;
    }
    return list;
}

const char* LeafFormat(unsigned leaf) {
    return leaf == 6 || leaf == 7 ? "%.3f" : "%0.0f";
}

std::vector<uint8_t> BuildNodeAttributes(const std::string& compressed_format) {
    std::vector<uint8_t> a(compressed_format.size() + kAttributesFixed, 0);
    WriteU32(&a[0], static_cast<uint32_t>(a.size()));
    a[4] = 2;
    WriteU32(&a[9], 5000);
    WriteU32(&a[13], 1);
    WriteU32(&a[25], 1);
    WriteU32(&a[41], 49);
    std::memcpy(&a[49], compressed_format.data(), compressed_format.size());
    return a;
}

std::array<uint8_t, kNodeValueSize> BuildNodeValue(double value) {
    std::array<uint8_t, kNodeValueSize> v{};
    WriteU32(&v[0], kNodeValueSize);
    v[4] = 1;
    v[9] = 1;
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i)
        v[10 + i] = static_cast<uint8_t>(bits >> (8 * i));
    return v;
}

double ReadNodeValue(const uint8_t* value) {
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i)
        bits |= static_cast<uint64_t>(value[10 + i]) << (8 * i);
    double d = 0;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

namespace {
int Digit(char c, int base) {
    int d = -1;
    if (c >= '0' && c <= '9')
        d = c - '0';
    else if (c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
    return d >= 0 && d < base ? d : -1;
}

bool Scan(const std::string& text, int base, size_t width, uint32_t* value) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    size_t end = i + width;
    if (base == 16 && i + 1 < text.size() && text[i] == '0' &&
        (text[i + 1] == 'x' || text[i + 1] == 'X') && i + 2 < text.size() &&
        Digit(text[i + 2], 16) >= 0 && width > 2)
        i += 2;
    uint64_t n = 0;
    size_t digits = 0;
    for (; i < text.size() && i < end; ++i) {
        const int d = Digit(text[i], base);
        if (d < 0) break;
        n = n * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        ++digits;
    }
    if (digits == 0) return false;
    *value = static_cast<uint32_t>(n);
    return true;
}
} // namespace

bool ScanHex8(const std::string& text, uint32_t* value) {
    return Scan(text, 16, 8, value);
}
bool ScanDec10(const std::string& text, uint32_t* value) {
    return Scan(text, 10, 10, value);
}

std::string CatalogLanguage(const std::string& code) {
    if (code.size() == 5) return code.substr(0, 2) + code.substr(3);
    if (code.size() > 5) return std::string();
    return code;
}

std::vector<uint8_t> BuildNodePathPacket(const std::string& language_code,
                                         const std::array<std::string, 4>& elements) {
    size_t size = kPacketHeaderSize;
    for (const std::string& e : elements)
        size += e.size() + 1;
    std::vector<uint8_t> p(size, 0);
    WriteU32(&p[0], static_cast<uint32_t>(size));
    p[4] = 1;
    const size_t code_len = std::min<size_t>(language_code.size(), 5);
    std::memcpy(&p[5], language_code.data(), code_len);
    WriteU32(&p[11], 4);
    size_t at = kPacketHeaderSize;
    for (size_t i = 0; i < elements.size(); ++i) {
        WriteU32(&p[15 + 4 * i], static_cast<uint32_t>(at));
        std::memcpy(&p[at], elements[i].data(), elements[i].size());
        at += elements[i].size() + 1;
    }
    return p;
}

std::string TenDigits(uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%010lu", static_cast<unsigned long>(value));
    return buf;
}

} // namespace pm::monitor
