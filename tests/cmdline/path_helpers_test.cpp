// The path helpers over a code page 932 lead-byte table, where 0x95 0x5C is one character whose
// trail byte looks like "\\".
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "shared/path/path_helpers.h"

namespace {

using pm::LeadByteTable;

// A buffer of exactly `size` bytes holding `text` (terminated when it fits).
std::vector<char> Buffer(const std::string& text, std::size_t size) {
    std::vector<char> b(size, 'X');
    std::memcpy(b.data(), text.data(), std::min(text.size() + 1, size));
    return b;
}

struct AppendCase {
    const char* text;
    std::size_t size; // whole buffer
    bool ok;
    const char* result;
};

TEST(PathHelpersTest, AppendBackslash) {
    const AppendCase cases[] = {
        {"C:\\dir", 16, true, "C:\\dir\\"},
        {"C:\\dir\\", 16, true, "C:\\dir\\"},
        {"", 4, true, ""},                   // empty text stays empty
        {"\x95\x5C", 8, true, "\x95\x5C\\"}, // 0x95 0x5C: the trail byte is no "\\"
        {"a\x95\x5C", 8, true, "a\x95\x5C\\"},
        {"\x95\x5C\\", 8, true, "\x95\x5C\\"}, // a real "\\" after the double byte
        {"ab\x95", 8, true, "ab\x95\\"},       // a lead byte before the end stands alone
        {"abc", 5, true, "abc\\"},             // exactly room for "\\" and terminator
        {"abc", 4, false, "abc"},              // no room: unchanged
        {"abc\\", 5, true, "abc\\"},           // full, but nothing to add
    };
    for (const AppendCase& c : cases) {
        LeadByteTable table = LeadByteTable::CodePage932();
        std::vector<char> buffer = Buffer(c.text, c.size);
        EXPECT_EQ(pm::AppendBackslash(buffer.data(), buffer.size(), table), c.ok) << c.text;
        EXPECT_STREQ(buffer.data(), c.result) << c.text;
        EXPECT_EQ(table.LocaleCalls(), 1);
    }
}

TEST(PathHelpersTest, AppendBackslashNeverWritesPastItsBuffer) {
    LeadByteTable table = LeadByteTable::CodePage932();
    // Not terminated within its 3 bytes: nothing is read or written past them.
    char unterminated[3] = {'a', 'b', 'c'};
    EXPECT_FALSE(pm::AppendBackslash(unterminated, sizeof unterminated, table));
    EXPECT_EQ(std::string(unterminated, 3), "abc");
    char empty_buffer[1] = {'z'};
    EXPECT_FALSE(pm::AppendBackslash(empty_buffer, 0, table));
    EXPECT_EQ(empty_buffer[0], 'z');
    EXPECT_FALSE(pm::AppendBackslash(nullptr, 4, table));
    // A heap buffer of exactly the text's size + 1: ASan would see a write past it.
    std::vector<char> tight = Buffer("dir", 4);
    EXPECT_FALSE(pm::AppendBackslash(tight.data(), tight.size(), table));
    EXPECT_STREQ(tight.data(), "dir");
}

TEST(PathHelpersTest, SingleByteRulesTakeTheTrailByteForABackslash) {
    // Without the lead-byte table 0x95 0x5C ends in "\\": nothing to add.
    std::vector<char> buffer = Buffer("\x95\x5C", 8);
    EXPECT_TRUE(pm::AppendBackslash(buffer.data(), buffer.size(), pm::SystemDbcsRules()));
    EXPECT_STREQ(buffer.data(), "\x95\x5C");
}

// The helpers that edit a text in place: whether they did, and the text afterwards.
TEST(PathHelpersTest, RemoveTrailingBackslashAndStripFileName) {
    using Edit = bool (*)(char*, pm::DbcsRules&);
    const Edit remove = pm::RemoveTrailingBackslash, strip = pm::StripFileName;
    const struct {
        Edit edit;
        const char* text;
        bool ok;
        const char* result;
    } cases[] = {
        {remove, "C:\\dir\\", true, "C:\\dir"},
        {remove, "C:\\dir", false, "C:\\dir"},
        {remove, "", false, ""},
        {remove, "\\", true, ""},
        {remove, "\x95\x5C", false, "\x95\x5C"},
        {remove, "\x95\x5C\\", true, "\x95\x5C"},
        {remove, "dir\\\\", true, "dir\\"}, // one at a time
        {strip, "C:\\dir\\file.txt", true, "C:\\dir\\"},
        {strip, "a\\b/c", true, "a\\b/"},
        {strip, "a/b\\c", true, "a/b\\"},
        {strip, "file.txt", true, "file.txt"}, // no separator: unchanged
        {strip, "C:\\\x95\x5C", true, "C:\\"}, // the trail byte is no separator
        {strip, "dir\\\x95\x5Cx", true, "dir\\"},
        {strip, "", true, ""},
        {strip, "dir\\x\x95", false, "dir\\x\x95"}, // does not convert: unchanged
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        LeadByteTable table = LeadByteTable::CodePage932();
        std::string text = c.text;
        EXPECT_EQ(c.edit(text.data(), table), c.ok);
        EXPECT_STREQ(text.c_str(), c.result);
        EXPECT_EQ(table.LocaleCalls(), 1);
    }
}

// The finders: the offset found in the text, -1 for none.
TEST(PathHelpersTest, Finders) {
    using Find = const char* (*)(const char*, LeadByteTable&);
    const Find last_backslash = [](const char* t, LeadByteTable& r) {
        return pm::FindLastBackslash(t, r);
    };
    const Find last_separator = [](const char* t, LeadByteTable& r) {
        return pm::FindLastPathSeparator(t, r);
    };
    const Find backslash = [](const char* t, LeadByteTable& r) {
        return pm::FindCharacter(t, "\\", r);
    };
    const Find double_byte = [](const char* t, LeadByteTable& r) {
        return pm::FindCharacter(t, "\x95\x5C", r);
    };
    const Find empty = [](const char* t, LeadByteTable& r) { return pm::FindCharacter(t, "", r); };
    const Find a = [](const char* t, LeadByteTable& r) { return pm::FindCharacter(t, "a", r); };
    const Find last_wide_backslash = [](const char* t, LeadByteTable& r) {
        return pm::FindLastCharacter(t, L'\\', r);
    };
    const Find last_wide_double_byte = [](const char* t, LeadByteTable& r) {
        return pm::FindLastCharacter(t, static_cast<wchar_t>(0x955C), r);
    };
    const struct {
        Find find;
        const char* text;
        std::ptrdiff_t at;
    } cases[] = {
        {last_backslash, "a\\b\\c", 3},
        {last_backslash, "a\\\x95\x5C", 1}, // the trail byte is not a "\\"
        {last_backslash, "\x95\x5C", -1},
        {last_backslash, "\\", 0},
        {last_backslash, "\x95\x5C\\\x95\x5C", 2},
        {last_backslash, "\x95", -1}, // lone lead byte at the end
        {last_separator, "C:\\prog\\quorlent.exe", 7},
        {last_separator, "C:quorlent.exe", 1},
        {last_separator, "/usr/bin/x", 8},
        {last_separator, "quorlent.exe", -1},
        {last_separator, "C:\\\x95\x5Cx.exe", 2},
        {last_separator, "C:\\\x95/x", 2}, // 0x95 0x2F pairs: that "/" is a trail byte
        {backslash,
         "a\x95\x5C"
         "b\\",
         4}, // the first "\\" of its own, after the double byte
        {double_byte,
         "a\x95\x5C"
         "b\\",
         1},
        {backslash, "abc", -1},
        {empty, "abc", -1},
        {a, "ab\x95", -1}, // the text does not convert as a whole
        {a, "", -1},
        {last_wide_backslash, "\\a\x95\x5C", 0},
        {last_wide_double_byte, "\\a\x95\x5C", 2},
        {last_wide_backslash, "a\\b\\c", 3},
        {last_wide_backslash, "a\\\x95", -1}, // does not convert
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        LeadByteTable table = LeadByteTable::CodePage932();
        const char* found = c.find(c.text, table);
        EXPECT_EQ(found ? found - c.text : -1, c.at);
        EXPECT_EQ(table.LocaleCalls(), c.find == last_separator ? 0 : 1);
    }
}

} // namespace
