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

// Whole texts are converted byte for byte by the real library's test under Wine; here what the
// decoder makes of cut and stray UTF-8 bytes, and the capacity afterwards.
TEST_F(TextConversionTest, CutAndStrayUtf8ByteForByte) {
    const struct {
        const char *before, *after;
        uint32_t capacity;
    } rows[] = {
        // 'A', then two bytes of a three-byte sequence: decoding stops at the terminator.
        {"A\xE4\xB8", "\x44", 2},
        // 0xA9 0x41 0x42 decodes to the one unit U+9042 although it has no lead byte: the units
        // are counted by the decoder. U+9042: 0x80|swap(0x42), 0x80|swap(0x20), 2 << 2.
        {"\xA9\x41\x42", "\xC8\xA0\x08", 4},
    };
    for (const auto& row : rows) {
        TextString s(row.before);
        EXPECT_EQ(s.Utf8ToCompressed(), 1);
        EXPECT_STREQ(s.CStr(), row.after);
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
