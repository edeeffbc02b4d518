// The KAVUCD32 stand-in's portable core: the five conversions, the two-call sizing and its
// failures, and the Windows-1252 and 437 codecs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "shared/text/ucd_core.h"

namespace {

constexpr int kCp = kavucd::kCompressedUnicodeCodePage;

int Call(int ordinal, const void* src, void* dst, int dst_size, int code_page = kCp) {
    return kavucd::Convert(ordinal, src, dst, dst_size, code_page, 0, kavucd::Windows1252Codec(),
                           kavucd::Cp437Codec());
}

// Both calls of the two-call convention; answers the bytes of the result.
std::string Bytes(int ordinal, const void* src) {
    const int size = Call(ordinal, src, nullptr, 0);
    EXPECT_GT(size, 0);
    std::string out(static_cast<size_t>(std::max(size, 0)), '~');
    EXPECT_EQ(Call(ordinal, src, &out[0], size), size);
    return out;
}

TEST(UcdCoreTest, ResultsWithTheirSizes) {
    const uint16_t ucs2[] = {0x0041, 0x00E9, 0x4E2D, 0}; // 'A' 'é' '中'
    const struct {
        const char* name;
        int ordinal;
        const void* source;
        std::string result; // terminator included
    } rows[] = {
        // ANSI "A" 0xE9 0x80: 'A' = 44, 'é' = E6 04, '€' (U+20AC) = A3 44.
        {"ansi to compressed", kavucd::kAnsiToCompressed, "A\xE9\x80",
         std::string("\x44\xE6\x04\xA3\x44\0", 6)},
        {"empty compressed", kavucd::kCompressedToAnsi, "", std::string("\0", 1)},
        // Sized in bytes: 'A' = 44, 'é' = E6 04, '中' = A7 93 04.
        {"ucs2 to compressed", kavucd::kUcs2ToCompressed, ucs2,
         std::string("\x44\xE6\x04\xA7\x93\x04\0", 7)},
        // 'A' '中' 'ĉ' (U+0109 = 89 08): what ANSI cannot hold becomes '?'.
        {"unmappable", kavucd::kCompressedToAnsi, "\x44\xA7\x93\x04\x89\x08",
         std::string("A??\0", 4)},
        // 0x80 0x80 0x40 decodes to the unit 0 (its bits lie above 16): it ends the text.
        {"inner zero unit", kavucd::kCompressedToAnsi, "\x80\x80\x40\x44", std::string("\0", 1)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Bytes(row.ordinal, row.source), row.result);
    }
    // Compressed to UCS-2 counts units: three and a terminator.
    const char* text = "\x44\xE6\x04\xA7\x93\x04";
    ASSERT_EQ(Call(kavucd::kCompressedToUcs2, text, nullptr, 0), 4);
    uint16_t units[4] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
    EXPECT_EQ(Call(kavucd::kCompressedToUcs2, text, units, 4), 4);
    EXPECT_EQ(std::vector<uint16_t>(units, units + 4),
              (std::vector<uint16_t>{0x0041, 0x00E9, 0x4E2D, 0x0000}));
    EXPECT_EQ(Call(kavucd::kCompressedToUcs2, text, units, 3), 0); // in units: one too few
    EXPECT_EQ(Call(kavucd::kCompressedToUcs2, "\x80\x80\x40\x44", nullptr, 0), 3);
}

TEST(UcdCoreTest, FailuresAnswerZero) {
    const uint16_t ucs2[] = {'a', 'b', 0};
    for (int ordinal : {1, 3, 5, 8, 11}) {
        SCOPED_TRACE(ordinal);
        char buffer[16] = {};
        const void* src = ordinal == 1 ? static_cast<const void*>(ucs2) : "ab";
        EXPECT_GT(Call(ordinal, src, nullptr, 0), 0);
        EXPECT_EQ(Call(ordinal, src, nullptr, 0, 0), 0);    // code page 0
        EXPECT_EQ(Call(ordinal, src, nullptr, 0, 1252), 0); // an ANSI code page
        EXPECT_EQ(Call(ordinal, src, buffer, 16, 43), 0);   // next to 42
        EXPECT_EQ(Call(ordinal, nullptr, nullptr, 0), 0);   // no source
        EXPECT_EQ(Call(ordinal, src, buffer, 2), 0);        // too small: 3 needed
        EXPECT_EQ(Call(ordinal, src, buffer, -1), 0);       // a negative size
        EXPECT_EQ(Call(ordinal, src, buffer, 3), 3);        // exactly enough
        EXPECT_EQ(Call(ordinal, src, buffer, 16), 3);       // more than enough
    }
    EXPECT_EQ(Call(2, "ab", nullptr, 0), 0); // not an ordinal of the library
    EXPECT_EQ(Call(12, "ab", nullptr, 0), 0);
    char buffer[4] = {'~', '~', '~', '~'};
    EXPECT_EQ(Call(kavucd::kAnsiToCompressed, "abc", buffer, 3), 0);
    EXPECT_EQ(std::string(buffer, 4), "~~~~"); // too small leaves the destination alone
}

TEST(UcdCoreTest, CodecsMapTheirHighHalfBothWays) {
    kavucd::Codec &ansi = kavucd::Windows1252Codec(), &oem = kavucd::Cp437Codec();
    const struct {
        kavucd::Codec& codec;
        unsigned char byte;
        uint16_t unit;
    } rows[] = {
        // clang-format off
        // 1252: the euro, then undefined bytes as the C1 control of that value, S caron,
        // Y diaeresis, no-break space, y diaeresis.
        {ansi, 0x80, 0x20AC}, {ansi, 0x81, 0x0081}, {ansi, 0x8A, 0x0160}, {ansi, 0x8D, 0x008D},
        {ansi, 0x8F, 0x008F}, {ansi, 0x90, 0x0090}, {ansi, 0x9D, 0x009D}, {ansi, 0x9F, 0x0178},
        {ansi, 0xA0, 0x00A0}, {ansi, 0xFF, 0x00FF},
        // 437: A, C cedilla, e acute, peseta, box vertical, sharp s, no-break space.
        {oem, 0x41, 0x0041}, {oem, 0x80, 0x00C7}, {oem, 0x82, 0x00E9}, {oem, 0x9E, 0x20A7},
        {oem, 0xB3, 0x2502}, {oem, 0xE1, 0x00DF}, {oem, 0xFF, 0x00A0},
        // clang-format on
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.byte);
        const char text[2] = {static_cast<char>(r.byte), 0};
        std::vector<uint16_t> units;
        ASSERT_TRUE(r.codec.ToUcs2(text, units));
        EXPECT_EQ(units, std::vector<uint16_t>{r.unit});
        std::string back;
        ASSERT_TRUE(r.codec.FromUcs2(&r.unit, 1, back));
        EXPECT_EQ(back, std::string(1, static_cast<char>(r.byte)));
    }
    std::string back;
    const uint16_t euro = 0x20AC;
    ASSERT_TRUE(oem.FromUcs2(&euro, 1, back));
    EXPECT_EQ(back, "?");
}

TEST(UcdCoreTest, EveryByteOfEachCodePageIsOneUnit) {
    std::string all;
    for (int b = 1; b < 256; ++b) {
        all.push_back(static_cast<char>(b));
    }
    for (int ordinal : {kavucd::kAnsiToCompressed, kavucd::kOemToCompressed}) {
        SCOPED_TRACE(ordinal);
        std::string compressed = Bytes(ordinal, all.c_str());
        EXPECT_EQ(Call(kavucd::kCompressedToUcs2, compressed.c_str(), nullptr, 0), 256);
    }
}

} // namespace
