// Compressed unicode: the wire encoding, byte by byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "shared/text/compressed_unicode.h"
#include "shared/text/text_string.h"

namespace {

std::string Encode(std::vector<uint16_t> units) {
    units.push_back(0);
    std::string out(pm::EncodeCompressedUnicode(units.data(), nullptr, 0), '\x7E');
    EXPECT_EQ(pm::EncodeCompressedUnicode(units.data(), &out[0], static_cast<uint32_t>(out.size())),
              out.size());
    EXPECT_EQ(out.back(), '\0');
    out.pop_back();
    return out;
}

std::vector<uint16_t> Decode(const std::string& text) {
    std::vector<uint16_t> units(pm::DecodeCompressedUnicode(text.c_str(), nullptr, 0), 0x7E7E);
    EXPECT_EQ(pm::DecodeCompressedUnicode(text.c_str(), units.data(),
                                          static_cast<uint32_t>(units.size())),
              units.size());
    EXPECT_EQ(units.back(), 0);
    units.pop_back();
    return units;
}

TEST(CompressedUnicodeTest, EachUnitBothWaysByteForByte) {
    const struct {
        uint16_t unit;
        const char* bytes; // without the terminator
    } vectors[] = {
        {0x0001, "\x04"},         // 000 0001: bits 0-1 to 2-3
        {0x0004, "\x01"},         // 000 0100: bits 2-3 to 0-1
        {0x005C, "\x53"},         // '\' 101 1100 -> 101 0011
        {0x007F, "\x7F"},         // last one-byte unit, swap(0x7F) = 0x7F
        {0x0080, "\x80\x04"},     // 0x80|swap(0x00), swap(0x01)
        {0x0100, "\x80\x08"},     // 0x80|swap(0x00), swap(0x02)
        {0x20AC, "\xA3\x44"},     // '€': 0x80|swap(0x2C), swap(0x41)
        {0x3FFF, "\xFF\x7F"},     // last two-byte unit: 0x80|swap(0x7F), swap(0x7F)
        {0x4000, "\x80\x80\x04"}, // first three-byte unit: 0x80|0, 0x80|0, 1 << 2
        {0xD800, "\x80\xB0\x0C"}, // a lone surrogate is a unit like any other
        {0xFFFF, "\xFF\xFF\x0C"}, // 0x80|swap(0x7F), 0x80|swap(0x7F), 3 << 2
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.unit);
        EXPECT_EQ(Encode({v.unit}), v.bytes);
        EXPECT_EQ(pm::CompressedUnitSize(v.unit), std::string(v.bytes).size());
        EXPECT_EQ(Decode(v.bytes), std::vector<uint16_t>{v.unit});
    }
    EXPECT_EQ(pm::CompressedUnitSize(0x0000), 0u); // the terminator, never encoded
    // Units follow one another: 'A' 100 0001 -> 100 0100, 'é' 0x80|swap(0x69) swap(0x01), '中'
    // 0x80|swap(0x2D) 0x80|swap(0x1C) 1 << 2, then 'C' ':' '\'.
    EXPECT_EQ(Encode({0x0041, 0x00E9, 0x4E2D}), "\x44\xE6\x04\xA7\x93\x04");
    EXPECT_EQ(Encode({'C', ':', '\\'}), "\x4C\x3A\x53");
}

TEST(CompressedUnicodeTest, EveryUnitRoundTrips) {
    std::vector<uint16_t> all;
    for (uint32_t u = 1; u <= 0xFFFF; ++u) {
        all.push_back(static_cast<uint16_t>(u));
    }
    EXPECT_EQ(Decode(Encode(all)), all);
}

// Short buffers take whole units only; no buffer only counts; malformed runs decode safely.
TEST(CompressedUnicodeTest, ShortOrNoBufferAndMalformedRuns) {
    using Units = std::vector<uint16_t>;
    // "ABCDE", room for 3: three units, no terminator, and the count of all of them.
    uint16_t b[4] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
    EXPECT_EQ(pm::DecodeCompressedUnicode("\x44\x48\x4C\x41\x45", b, 3), 6u);
    EXPECT_EQ(Units(b, b + 4), (Units{'A', 'B', 'C', 0xAAAA}));
    // "AB", room for the units but not the terminator.
    b[2] = 0xAAAA;
    EXPECT_EQ(pm::DecodeCompressedUnicode("\x44\x48", b, 2), 3u);
    EXPECT_EQ(Units(b, b + 3), (Units{'A', 'B', 0xAAAA}));
    EXPECT_EQ(pm::DecodeCompressedUnicode("\x44\xE6\x04\xA7\x93\x04", nullptr, 100), 4u);
    EXPECT_EQ(pm::DecodeCompressedUnicode("", nullptr, 0), 1u);
    EXPECT_EQ(pm::DecodeCompressedUnicode(nullptr, nullptr, 0), 1u);
    EXPECT_EQ(pm::DecodeCompressedUnicode(nullptr, b, 1), 1u);
    EXPECT_EQ(b[0], 0);
    // 'A', then the first byte of 'é' with its continuation bit and no second byte: not emitted.
    b[1] = 0xAAAA;
    EXPECT_EQ(pm::DecodeCompressedUnicode("\x44\xE6", b, 3), 2u);
    EXPECT_EQ(Units(b, b + 2), (Units{'A', 0}));
    // Five bytes with bit 7 set, then 0x04: the bits beyond 16 fall away.
    EXPECT_EQ(Decode("\xFF\xFF\xFF\xFF\xFF\x04"), Units{0xFFFF});
    // 0x80 0x80 then 0x40: swap(0x40) << 14 lies wholly above bit 15, so the unit is 0.
    EXPECT_EQ(Decode("\x80\x80\x40\x44"), (Units{0x0000, 'A'}));
    // Encoding into 3 bytes: 'A', and U+4E2D needs three bytes where two are left.
    const uint16_t text[] = {'A', 0x4E2D, 0};
    char out[3] = {'~', '~', '~'};
    EXPECT_EQ(pm::EncodeCompressedUnicode(text, out, 3), 5u);
    EXPECT_EQ(std::string(out, 3), std::string("\x44~~"));
    EXPECT_EQ(pm::EncodeCompressedUnicode(nullptr, nullptr, 0), 1u);
}

TEST(CompressedUnicodeTest, TextStringEncodeFollowsTheAssignRules) {
    const struct {
        std::vector<uint16_t> ucs2;
        const char* bytes;
        uint32_t capacity;
        bool same_buffer;
    } steps[] = {
        {{'A', 0x00E9, 0x4E2D}, "\x44\xE6\x04\xA7\x93\x04", 10, false}, // n = 7: 3 * 7 / 2
        {{'A', 0x00E9}, "\x44\xE6\x04", 6, false}, // n = 4, 10 > 8: a new buffer of 6
        {{0x4000}, "\x80\x80\x04", 6, true},       // n = 4, 4 <= 6 <= 8: kept
        {{}, "", 1, false},                        // n = 1, 6 > 2: a new buffer of 1
    };
    pm::TextString s;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.capacity);
        std::vector<uint16_t> units = step.ucs2;
        units.push_back(0);
        const char* before = s.Text();
        s.EncodeCompressedUnicode(units.data());
        EXPECT_STREQ(s.CStr(), step.bytes);
        EXPECT_EQ(s.Capacity(), step.capacity);
        EXPECT_EQ(s.Text() == before, step.same_buffer);
    }
    s.EncodeCompressedUnicode(nullptr);
    EXPECT_STREQ(s.CStr(), "");
}

} // namespace
