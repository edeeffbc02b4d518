// TextString's in-place conversions through KAVUCD32 (the stand-in's core behind a fake
// platform): the bytes and capacity afterwards, and a failure that leaves the string unchanged.
#include <gtest/gtest.h>

#include <string>

#include "shared/text/text_string.h"
#include "tests/text/fake_text_platform.h"

namespace {

using pm::TextString;

class TextConversionTest : public ::testing::Test {
protected:
    pm::testing::FakeTextPlatform fake;
    pm::ScopedTextPlatform scoped{fake};
};

struct Conversion {
    const char* name;
    int (TextString::*convert)();
    std::string before;
    std::string after;
    uint32_t capacity;
};

TEST_F(TextConversionTest, EachConversionByteForByte) {
    const Conversion rows[] = {
        // ANSI 'A' 'é' (Windows-1252 0xE9) -> 'A' = 44, 'é' = E6 04; 3 bytes + terminator.
        {"ToCompressedUnicode", &TextString::ToCompressedUnicode, "A\xE9", "\x44\xE6\x04", 4},
        // Back: 44 | E6 04 -> 'A' 0xE9; 2 bytes + terminator.
        {"FromCompressedUnicode", &TextString::FromCompressedUnicode, "\x44\xE6\x04", "A\xE9", 3},
        // OEM (437) 'A' 0x82 'é' -> 44 | E6 04.
        {"OemToCompressedUnicode", &TextString::OemToCompressedUnicode, "A\x82", "\x44\xE6\x04", 4},
        // 'A' = 44, 'é' = E6 04, '中' = A7 93 04 -> 41 | C3 A9 | E4 B8 AD; the capacity is the
        // bytes written, terminator included.
        {"CompressedToUtf8", &TextString::CompressedToUtf8, "\x44\xE6\x04\xA7\x93\x04",
         "\x41\xC3\xA9\xE4\xB8\xAD", 7},
        {"Utf8ToCompressed", &TextString::Utf8ToCompressed, "\x41\xC3\xA9\xE4\xB8\xAD",
         "\x44\xE6\x04\xA7\x93\x04", 7},
        // 'A', then two bytes of a three-byte sequence: decoding stops at the terminator.
        {"Utf8ToCompressed truncated", &TextString::Utf8ToCompressed, "A\xE4\xB8", "\x44", 2},
        // 0xA9 0x41 0x42 decodes to the one unit U+9042 although it has no lead byte: the units
        // are counted by the decoder. U+9042: 0x80|swap(0x42), 0x80|swap(0x20), 2 << 2.
        {"Utf8ToCompressed stray", &TextString::Utf8ToCompressed, "\xA9\x41\x42", "\xC8\xA0\x08",
         4},
    };
    for (const Conversion& row : rows) {
        SCOPED_TRACE(row.name);
        TextString s(row.before.c_str());
        EXPECT_EQ((s.*row.convert)(), 1);
        EXPECT_EQ(std::string(s.CStr()), row.after);
        EXPECT_EQ(s.Capacity(), row.capacity);
    }
}

TEST_F(TextConversionTest, EitherCallFailingLeavesTheStringUnchanged) {
    for (auto convert : {&TextString::ToCompressedUnicode, &TextString::FromCompressedUnicode,
                         &TextString::OemToCompressedUnicode, &TextString::CompressedToUtf8,
                         &TextString::Utf8ToCompressed}) {
        for (int failing = 1; failing <= 2; ++failing) {
            SCOPED_TRACE(failing);
            fake.convert_calls = 0;
            fake.fail_call = failing;
            TextString s;
            s = "abc"; // capacity 6, more than the text needs
            const char* buffer = s.Text();
            EXPECT_EQ((s.*convert)(), 0);
            EXPECT_EQ(s.Text(), buffer);
            EXPECT_STREQ(s.CStr(), "abc");
            EXPECT_EQ(s.Capacity(), 6u);
        }
    }
}

TEST_F(TextConversionTest, NullStringConvertsAsEmpty) {
    for (auto convert : {&TextString::ToCompressedUnicode, &TextString::CompressedToUtf8}) {
        TextString s;
        EXPECT_EQ((s.*convert)(), 1);
        ASSERT_NE(s.Text(), nullptr);
        EXPECT_STREQ(s.Text(), "");
        EXPECT_EQ(s.Capacity(), 1u);
    }
}

} // namespace
