// TextString's in-place conversions through KAVUCD32, observed through a fake platform: the
// two-call sizing, the capacity afterwards, and a failure that leaves the string unchanged.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "shared/text/text_string.h"
#include "tests/text/fake_text_platform.h"

namespace {

using pm::TextString;
using pm::testing::ConvertCall;
using pm::testing::FakeTextPlatform;

constexpr int kCodePage = kavucd::kCompressedUnicodeCodePage;

class TextConversionTest : public ::testing::Test {
protected:
    FakeTextPlatform fake;
    pm::ScopedTextPlatform scoped{fake};

    // The two calls every conversion makes: the size, then exactly that size.
    void ExpectTwoCalls(int ordinal, int size) {
        ASSERT_EQ(fake.calls.size(), 2u);
        const ConvertCall& first = fake.calls[0];
        EXPECT_EQ(first.ordinal, ordinal);
        EXPECT_FALSE(first.has_destination);
        EXPECT_EQ(first.dst_size, 0);
        EXPECT_EQ(first.code_page, kCodePage);
        EXPECT_EQ(first.flags, 0);
        EXPECT_EQ(first.result, size);
        const ConvertCall& second = fake.calls[1];
        EXPECT_EQ(second.ordinal, ordinal);
        EXPECT_TRUE(second.has_destination);
        EXPECT_EQ(second.dst_size, size);
        EXPECT_EQ(second.code_page, kCodePage);
        EXPECT_EQ(second.flags, 0);
        EXPECT_EQ(second.result, size);
    }
};

struct Conversion {
    const char* name;
    int (TextString::*convert)();
    int ordinal;
    std::string before;
    std::string after;
    uint32_t capacity;
};

TEST_F(TextConversionTest, EachConversionWithItsOrdinal) {
    const Conversion rows[] = {
        // ANSI 'A' 'é' (Windows-1252 0xE9) -> 'A' = 44, 'é' = E6 04; 3 bytes + terminator.
        {"ToCompressedUnicode", &TextString::ToCompressedUnicode, 8, "A\xE9", "\x44\xE6\x04", 4},
        // Back: 44 | E6 04 -> 'A' 0xE9; 2 bytes + terminator.
        {"FromCompressedUnicode", &TextString::FromCompressedUnicode, 5, "\x44\xE6\x04", "A\xE9",
         3},
        // OEM (437) 'A' 0x82 'é' -> 44 | E6 04.
        {"OemToCompressedUnicode", &TextString::OemToCompressedUnicode, 11, "A\x82", "\x44\xE6\x04",
         4},
        // 'C' ':' '\' -> 4C 3A 53.
        {"ToCompressedUnicode path", &TextString::ToCompressedUnicode, 8, "C:\\", "\x4C\x3A\x53",
         4},
    };
    for (const Conversion& row : rows) {
        SCOPED_TRACE(row.name);
        fake.calls.clear();
        TextString s(row.before.c_str());
        EXPECT_EQ((s.*row.convert)(), 1);
        EXPECT_EQ(std::string(s.CStr()), row.after);
        EXPECT_EQ(s.Capacity(), row.capacity);
        ExpectTwoCalls(row.ordinal, static_cast<int>(row.capacity));
    }
}

TEST_F(TextConversionTest, FirstCallFailingLeavesTheStringUnchanged) {
    const Conversion rows[] = {
        {"ToCompressedUnicode", &TextString::ToCompressedUnicode, 8, "abc", "", 0},
        {"FromCompressedUnicode", &TextString::FromCompressedUnicode, 5, "abc", "", 0},
        {"OemToCompressedUnicode", &TextString::OemToCompressedUnicode, 11, "abc", "", 0},
        {"CompressedToUtf8", &TextString::CompressedToUtf8, 3, "abc", "", 0},
        {"Utf8ToCompressed", &TextString::Utf8ToCompressed, 1, "abc", "", 0},
    };
    for (const Conversion& row : rows) {
        SCOPED_TRACE(row.name);
        for (int failing = 1; failing <= 2; ++failing) {
            fake.calls.clear();
            fake.fail_call = failing;
            TextString s;
            s = row.before.c_str(); // capacity 6, more than the text needs
            const char* buffer = s.Text();
            EXPECT_EQ((s.*row.convert)(), 0);
            EXPECT_EQ(s.Text(), buffer);
            EXPECT_STREQ(s.CStr(), "abc");
            EXPECT_EQ(s.Capacity(), 6u);
            ASSERT_EQ(fake.calls.size(), static_cast<size_t>(failing));
            EXPECT_EQ(fake.calls[0].ordinal, row.ordinal);
            EXPECT_FALSE(fake.calls[0].has_destination);
        }
    }
}

TEST_F(TextConversionTest, CompressedToUtf8UsesOrdinal3ThenEncodesEveryUnit) {
    // 'A' = 44, 'é' = E6 04, '中' = A7 93 04: three units and the terminator.
    TextString s("\x44\xE6\x04\xA7\x93\x04");
    EXPECT_EQ(s.CompressedToUtf8(), 1);
    // 'A' = 41, 'é' = C3 A9, '中' = E4 B8 AD, terminator 00.
    EXPECT_STREQ(s.CStr(), "\x41\xC3\xA9\xE4\xB8\xAD");
    EXPECT_EQ(s.Capacity(), 7u); // the bytes written, terminator included
    ExpectTwoCalls(3, 4);        // units, terminator included
}

TEST_F(TextConversionTest, Utf8ToCompressedDecodesThenUsesOrdinal1) {
    TextString s("\x41\xC3\xA9\xE4\xB8\xAD"); // 'A' 'é' '中' in UTF-8
    EXPECT_EQ(s.Utf8ToCompressed(), 1);
    EXPECT_STREQ(s.CStr(), "\x44\xE6\x04\xA7\x93\x04");
    EXPECT_EQ(s.Capacity(), 7u);
    ExpectTwoCalls(1, 7);
}

TEST_F(TextConversionTest, Utf8ToCompressedOfTruncatedTextStopsAtTheTerminator) {
    TextString s("A\xE4\xB8"); // 'A', then two bytes of a three-byte sequence
    EXPECT_EQ(s.Utf8ToCompressed(), 1);
    EXPECT_STREQ(s.CStr(), "\x44");
    EXPECT_EQ(s.Capacity(), 2u);
}

TEST_F(TextConversionTest, Utf8ToCompressedOfAStrayContinuationByte) {
    // 0xA9 0x41 0x42 decodes to the one unit U+9042 (nothing is validated), although it has
    // no lead byte: the units are counted by the decoder, not by lead bytes.
    TextString s("\xA9\x41\x42");
    EXPECT_EQ(s.Utf8ToCompressed(), 1);
    // U+9042: 0x80|swap(0x42), 0x80|swap(0x20), 2 << 2
    EXPECT_STREQ(s.CStr(), "\xC8\xA0\x08");
}

TEST_F(TextConversionTest, NullStringConvertsAsEmpty) {
    TextString s;
    EXPECT_EQ(s.ToCompressedUnicode(), 1);
    ASSERT_NE(s.Text(), nullptr);
    EXPECT_STREQ(s.Text(), "");
    EXPECT_EQ(s.Capacity(), 1u);
    TextString t;
    EXPECT_EQ(t.CompressedToUtf8(), 1);
    EXPECT_STREQ(t.CStr(), "");
    EXPECT_EQ(t.Capacity(), 1u);
}

TEST_F(TextConversionTest, RoundTripOfEveryWindows1252Byte) {
    std::string all;
    for (int b = 1; b < 256; ++b) {
        all.push_back(static_cast<char>(b));
    }
    TextString s(all.c_str());
    ASSERT_EQ(s.ToCompressedUnicode(), 1);
    ASSERT_EQ(s.CompressedToUtf8(), 1);
    ASSERT_EQ(s.Utf8ToCompressed(), 1);
    ASSERT_EQ(s.FromCompressedUnicode(), 1);
    EXPECT_EQ(std::string(s.CStr()), all);
    EXPECT_EQ(s.Capacity(), 256u);
}

TEST_F(TextConversionTest, UnmappableUnitsBecomeQuestionMarks) {
    TextString s("\x44\xA7\x93\x04"); // 'A' '中'
    EXPECT_EQ(s.FromCompressedUnicode(), 1);
    EXPECT_STREQ(s.CStr(), "A?");
}

} // namespace
