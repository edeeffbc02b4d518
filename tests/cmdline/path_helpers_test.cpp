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

TEST(PathHelpersTest, RemoveTrailingBackslash) {
    const struct {
        const char* text;
        bool removed;
        const char* result;
    } cases[] = {
        {"C:\\dir\\", true, "C:\\dir"},
        {"C:\\dir", false, "C:\\dir"},
        {"", false, ""},
        {"\\", true, ""},
        {"\x95\x5C", false, "\x95\x5C"},
        {"\x95\x5C\\", true, "\x95\x5C"},
        {"dir\\\\", true, "dir\\"}, // one at a time
    };
    for (const auto& c : cases) {
        LeadByteTable table = LeadByteTable::CodePage932();
        std::string text = c.text;
        EXPECT_EQ(pm::RemoveTrailingBackslash(text.data(), table), c.removed) << c.text;
        EXPECT_STREQ(text.c_str(), c.result) << c.text;
        EXPECT_EQ(table.LocaleCalls(), 1);
    }
}

// Offsets into the text, -1 for none.
std::ptrdiff_t Offset(const char* text, const char* found) {
    return found ? found - text : -1;
}

TEST(PathHelpersTest, FindLastBackslash) {
    const struct {
        const char* text;
        std::ptrdiff_t at;
    } cases[] = {
        {"a\\b\\c", 3},   {"a\\\x95\x5C", 1}, // the trail byte is not a "\\"
        {"\x95\x5C", -1}, {"", -1},           {"\\", 0}, {"\x95\x5C\\\x95\x5C", 2},
        {"\x95", -1}, // lone lead byte at the end
    };
    for (const auto& c : cases) {
        LeadByteTable table = LeadByteTable::CodePage932();
        EXPECT_EQ(Offset(c.text, pm::FindLastBackslash(c.text, table)), c.at) << c.text;
        EXPECT_EQ(table.LocaleCalls(), 1);
    }
}

TEST(PathHelpersTest, FindLastPathSeparator) {
    const struct {
        const char* text;
        std::ptrdiff_t at;
    } cases[] = {
        {"C:\\prog\\quorlent.exe", 7},
        {"C:quorlent.exe", 1},
        {"/usr/bin/x", 8},
        {"quorlent.exe", -1},
        {"C:\\\x95\x5Cx.exe", 2},
        {"C:\\\x95/x", 2}, // 0x95 0x2F pairs: that "/" is a trail byte
    };
    for (const auto& c : cases) {
        LeadByteTable table = LeadByteTable::CodePage932();
        EXPECT_EQ(Offset(c.text, pm::FindLastPathSeparator(c.text, table)), c.at) << c.text;
    }
}

TEST(PathHelpersTest, FindCharacter) {
    const struct {
        const char* text;
        const char* character;
        std::ptrdiff_t at;
    } cases[] = {
        {"a\x95\x5C"
         "b\\",
         "\\", 4}, // the first "\\" of its own, after the double byte
        {"a\x95\x5C"
         "b\\",
         "\x95\x5C", 1},
        {"a\x95\x5C"
         "b\\",
         "b", 3},
        {"abc", "z", -1},
        {"abc", "", -1},
        {"ab\x95", "a", -1}, // the text does not convert as a whole
        {"", "a", -1},
    };
    for (const auto& c : cases) {
        LeadByteTable table = LeadByteTable::CodePage932();
        EXPECT_EQ(Offset(c.text, pm::FindCharacter(c.text, c.character, table)), c.at) << c.text;
        EXPECT_EQ(table.LocaleCalls(), 1);
    }
}

TEST(PathHelpersTest, FindLastCharacter) {
    const struct {
        const char* text;
        wchar_t wide;
        std::ptrdiff_t at;
    } cases[] = {
        {"\\a\x95\x5C", L'\\', 0}, {"\\a\x95\x5C", static_cast<wchar_t>(0x955C), 2},
        {"a\\b\\c", L'\\', 3},     {"abc", L'z', -1},
        {"a\\\x95", L'\\', -1}, // does not convert
    };
    for (const auto& c : cases) {
        LeadByteTable table = LeadByteTable::CodePage932();
        EXPECT_EQ(Offset(c.text, pm::FindLastCharacter(c.text, c.wide, table)), c.at) << c.text;
        EXPECT_EQ(table.LocaleCalls(), 1);
    }
}

TEST(PathHelpersTest, StripFileName) {
    const struct {
        const char* text;
        bool ok;
        const char* result;
    } cases[] = {
        {"C:\\dir\\file.txt", true, "C:\\dir\\"},
        {"C:/dir/file", true, "C:/dir/"},
        {"a\\b/c", true, "a\\b/"},
        {"a/b\\c", true, "a/b\\"},
        {"file.txt", true, "file.txt"}, // no separator: unchanged
        {"C:\\\x95\x5C", true, "C:\\"}, // the trail byte is no separator
        {"dir\\\x95\x5Cx", true, "dir\\"},
        {"dir\\", true, "dir\\"},
        {"", true, ""},
        {"dir\\x\x95", false, "dir\\x\x95"}, // does not convert: unchanged
    };
    for (const auto& c : cases) {
        LeadByteTable table = LeadByteTable::CodePage932();
        std::string text = c.text;
        EXPECT_EQ(pm::StripFileName(text.data(), table), c.ok) << c.text;
        EXPECT_STREQ(text.c_str(), c.result) << c.text;
        EXPECT_EQ(table.LocaleCalls(), 1);
    }
}

} // namespace
