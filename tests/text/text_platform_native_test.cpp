// The built-in platform of native builds: byte order, Windows-1252 upper case, and the
// stand-in library's core behind the five ordinals.
#include <gtest/gtest.h>

#include "shared/text/text_platform.h"
#include "shared/text/text_string.h"

namespace {

TEST(NativeTextPlatformTest, ComparesUnsignedBytes) {
    pm::TextPlatform& p = pm::DefaultTextPlatform();
    EXPECT_LT(p.CompareText("abc", "abd"), 0);
    EXPECT_GT(p.CompareText("\xE9", "z"), 0);
    EXPECT_EQ(pm::TextString("B").Compare("a"), -1);
}

TEST(NativeTextPlatformTest, UpperCasesWindows1252) {
    const struct {
        const char* text;
        const char* upper;
    } rows[] = {
        {"abc xyz 09", "ABC XYZ 09"},
        {"caf\xE9", "CAF\xC9"},                   // é -> É
        {"\x9A\x9C\x9E\xFF", "\x8A\x8C\x8E\x9F"}, // š œ ž ÿ -> Š Œ Ž Ÿ
        {"\xF7\xDF\xB5", "\xF7\xDF\xB5"},         // ÷ ß µ stay
        {"\xE0\xFE", "\xC0\xDE"},                 // à þ -> À Þ
    };
    for (const auto& r : rows) {
        pm::TextString s(r.text);
        s.MakeUpper();
        EXPECT_STREQ(s.CStr(), r.upper);
    }
}

TEST(NativeTextPlatformTest, SettingNoPlatformRestoresTheDefault) {
    pm::SetTextPlatform(nullptr);
    EXPECT_EQ(&pm::CurrentTextPlatform(), &pm::DefaultTextPlatform());
}

} // namespace
