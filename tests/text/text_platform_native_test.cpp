// The built-in platform of native builds: byte order, Windows-1252 upper case, and the
// stand-in library's core behind the five ordinals.
#include <gtest/gtest.h>

#include "shared/text/text_platform.h"
#include "shared/text/text_string.h"

namespace {

TEST(NativeTextPlatformTest, ComparesBytes) {
    pm::TextPlatform& p = pm::DefaultTextPlatform();
    EXPECT_EQ(p.CompareText("abc", "abc"), 0);
    EXPECT_LT(p.CompareText("abc", "abd"), 0);
    EXPECT_GT(p.CompareText("\xE9", "z"), 0); // bytes compare unsigned
    EXPECT_EQ(pm::TextString("B").Compare("a"), -1);
}

TEST(NativeTextPlatformTest, UpperCasesWindows1252) {
    struct Row {
        const char* text;
        const char* upper;
    };
    const Row rows[] = {
        {"abc xyz 09", "ABC XYZ 09"},
        {"caf\xE9", "CAF\xC9"},                   // é -> É
        {"\x9A\x9C\x9E\xFF", "\x8A\x8C\x8E\x9F"}, // š œ ž ÿ -> Š Œ Ž Ÿ
        {"\xF7\xDF\xB5", "\xF7\xDF\xB5"},         // ÷ ß µ stay
        {"\xE0\xFE", "\xC0\xDE"},                 // à þ -> À Þ
    };
    for (const Row& r : rows) {
        pm::TextString s(r.text);
        s.MakeUpper();
        EXPECT_STREQ(s.CStr(), r.upper);
    }
}

TEST(NativeTextPlatformTest, ConvertsThroughTheStandInCore) {
    pm::TextString s("caf\xE9");
    ASSERT_EQ(s.ToCompressedUnicode(), 1);
    EXPECT_STREQ(s.CStr(), "\x6C\x64\x69\xE6\x04"); // c a f é
    EXPECT_EQ(pm::DefaultTextPlatform().Convert(8, "a", nullptr, 0, 41, 0), 0);
}

TEST(NativeTextPlatformTest, SetTextPlatformAnswersThePreviousOne) {
    pm::TextPlatform* before = pm::SetTextPlatform(nullptr);
    EXPECT_EQ(before, &pm::DefaultTextPlatform());
    EXPECT_EQ(&pm::CurrentTextPlatform(), &pm::DefaultTextPlatform());
}

} // namespace
