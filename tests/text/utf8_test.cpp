// The program's UTF-8 encoder and decoder, byte by byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "shared/text/utf8.h"

namespace {

std::string Encode(const std::vector<uint16_t>& units) {
    const uint32_t count = static_cast<uint32_t>(units.size());
    std::string out(pm::EncodeUtf8(units.data(), count, nullptr, 0), '~');
    EXPECT_EQ(pm::EncodeUtf8(units.data(), count, &out[0], static_cast<uint32_t>(out.size())),
              out.size());
    return out;
}

// Decodes from a heap copy of exactly the text and its terminator, so that ASan sees any read
// past the terminator.
std::vector<uint16_t> Decode(const std::string& text) {
    std::unique_ptr<char[]> exact(new char[text.size() + 1]);
    std::memcpy(exact.get(), text.c_str(), text.size() + 1);
    std::vector<uint16_t> units(pm::DecodeUtf8(exact.get(), nullptr, 0), 0x7E7E);
    EXPECT_EQ(pm::DecodeUtf8(exact.get(), units.data(), static_cast<uint32_t>(units.size())),
              units.size());
    EXPECT_EQ(units.back(), 0);
    units.pop_back();
    return units;
}

TEST(Utf8Test, EachUnitBothWaysByteForByte) {
    const struct {
        uint16_t unit;
        const char* bytes;
    } vectors[] = {
        {0x007F, "\x7F"},         // last one-byte unit
        {0x0080, "\xC2\x80"},     // 110 00010, 10 000000
        {0x00E9, "\xC3\xA9"},     // 'é': 110 00011, 10 101001
        {0x07FF, "\xDF\xBF"},     // last two-byte unit
        {0x0800, "\xE0\xA0\x80"}, // first three-byte unit
        {0x4E2D, "\xE4\xB8\xAD"}, // '中': 1110 0100, 10 111000, 10 101101
        {0xD83D, "\xED\xA0\xBD"}, // a high surrogate alone, as three bytes
        {0xDE00, "\xED\xB8\x80"}, // a low surrogate alone, as three bytes
        {0xFFFF, "\xEF\xBF\xBF"}, // last unit
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.unit);
        EXPECT_EQ(Encode({v.unit}), v.bytes);
        EXPECT_EQ(pm::Utf8UnitSize(v.unit), std::strlen(v.bytes));
        EXPECT_EQ(Decode(v.bytes), std::vector<uint16_t>{v.unit});
    }
    // U+1F600 as UCS-2 units D83D DE00: two three-byte sequences, not one four-byte sequence.
    EXPECT_EQ(Encode({0xD83D, 0xDE00}), "\xED\xA0\xBD\xED\xB8\x80");
    // Every unit is encoded, the terminator too: 'A' U+00E9 and a zero byte.
    EXPECT_EQ(Encode({0x0041, 0x00E9, 0x0000}), std::string("\x41\xC3\xA9\0", 4));
}

TEST(Utf8Test, EveryNonZeroUnitRoundTrips) {
    for (uint32_t u = 1; u <= 0xFFFF; ++u) {
        const uint16_t unit = static_cast<uint16_t>(u);
        ASSERT_EQ(Decode(Encode({unit})), std::vector<uint16_t>{unit}) << u;
    }
}

TEST(Utf8Test, MalformedAndTruncatedTextDecodesWithoutValidating) {
    const struct {
        const char* name;
        std::string bytes;
        std::vector<uint16_t> units;
    } vectors[] = {
        // A two-byte lead takes the next byte whatever it is: (0x03 << 6) | (0x41 & 0x3F).
        {"lead then ASCII", "\xC3\x41", {0x00C1}},
        // A stray continuation byte starts a three-byte sequence:
        // (0xA9 << 12) kept to 16 bits = 0x9000, | (0x01 << 6), | 0x02.
        {"stray continuation", "\xA9\x41\x42", {0x9042}},
        // A four-byte lead is taken as a three-byte one: (0xF0 << 12) & 0xFFFF = 0,
        // | (0x1F << 6), | 0x18; its fourth byte 0x80 then starts a sequence the terminator
        // cuts short.
        {"four-byte lead", "\xF0\x9F\x98\x80", {0x07D8}},
        // An overlong NUL decodes to the unit 0, which stays in the count.
        {"overlong NUL", std::string("\xC0\x80\x41"), {0x0000, 0x0041}},
        // Sequences cut short by the terminator stop there.
        {"two-byte lead alone", "\xC3", {}},
        {"ASCII then two-byte lead", "A\xC3", {0x0041}},
        {"three-byte lead alone", "\xE4", {}},
        {"three-byte lead and one continuation", "A\xE4\xB8", {0x0041}},
        {"stray continuation at the end", "\xC3\xA9\xA9", {0x00E9}},
        {"stray continuation and one more", "\xC3\xA9\xA9\xA9", {0x00E9}},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.name);
        // From an exact-size heap copy; the decoder's own count sizes the buffer.
        std::unique_ptr<char[]> exact(new char[v.bytes.size() + 1]);
        std::memcpy(exact.get(), v.bytes.c_str(), v.bytes.size() + 1);
        std::vector<uint16_t> units(v.units.size() + 1, 0x7E7E);
        EXPECT_EQ(pm::DecodeUtf8(exact.get(), units.data(), static_cast<uint32_t>(units.size())),
                  units.size());
        units.pop_back();
        EXPECT_EQ(units, v.units);
    }
}

TEST(Utf8Test, ShortBufferAndNullBuffer) {
    uint16_t buffer[3] = {0xAAAA, 0xAAAA, 0xAAAA};
    // 'A' 'é' '中' 'B': four units, room for two.
    EXPECT_EQ(pm::DecodeUtf8("A\xC3\xA9\xE4\xB8\xAD"
                             "B",
                             buffer, 2),
              5u);
    EXPECT_EQ(std::vector<uint16_t>(buffer, buffer + 3),
              (std::vector<uint16_t>{0x0041, 0x00E9, 0xAAAA}));
    EXPECT_EQ(pm::DecodeUtf8(nullptr, nullptr, 0), 1u);
    // The lead-byte count sizes buffers: it matches the decoder on well-formed text, and a
    // stray continuation byte counts no lead but yields one unit.
    const char* text = "A\xC3\xA9\xE4\xB8\xAD"; // 'A' 'é' '中'
    EXPECT_EQ(pm::CountUtf8LeadBytes(text) + 1, pm::DecodeUtf8(text, nullptr, 0));
    EXPECT_EQ(pm::CountUtf8LeadBytes("\xA9\x41\x42"), 2u);
    EXPECT_EQ(pm::DecodeUtf8("\xA9\x41\x42", nullptr, 0), 2u);
    // Encoding writes whole units only: 'A' fits in 3 bytes, '中' after it does not.
    const uint16_t units[] = {0x0041, 0x4E2D};
    char out[4] = {'~', '~', '~', '~'};
    EXPECT_EQ(pm::EncodeUtf8(units, 2, out, 3), 4u);
    EXPECT_EQ(std::string(out, 2), "A~");
}

} // namespace
