#include <gtest/gtest.h>

#include "shared/monitor/monitor_name.h"

namespace pm::monitor {
namespace {

// The file name and extension, each part cut at 255 bytes; a trail byte is no separator.
TEST(MonitorName, BareNameKeepsFileNameAndExtension) {
    const struct {
        const char* path;
        const char* bare;
    } cases[] = {
        {"C:\\Tools\\notepad.exe", "notepad.exe"},
        {"notepad.exe", "notepad.exe"},
        {"C:notepad.exe", "notepad.exe"},
        {"\\\\server\\share\\dir/x.y.exe", "x.y.exe"},
        {"dir\\noext", "noext"},
        {"dir.d\\file", "file"},
        {"C:\\dir\\", ""},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BareName(c.path), c.bare) << c.path;
    const std::string file(300, 'f'), ext = "." + std::string(300, 'e');
    EXPECT_EQ(BareName("C:\\x\\" + file + ext),
              std::string(255, 'f') + "." + std::string(254, 'e'));
    // Code page 932: 0x95 0x5C is one character whose trail byte is a backslash.
    LeadByteTable cp932 = LeadByteTable::CodePage932();
    EXPECT_EQ(BareName(std::string("C:\\d\\\x95\x5C") + "a.exe", cp932),
              std::string("\x95\x5C") + "a.exe");
}

TEST(MonitorName, NameRule) {
    const struct {
        const char* path;
        const char* name;
        bool match;
    } cases[] = {
        {"C:\\WINNT\\NOTEPAD.EXE", "NOTEPAD.EXE", true},
        {"NOTEPAD.EXE", "NOTEPAD.EXE", false},
        {"C:\\WINNT\\MYNOTEPAD.EXE", "NOTEPAD.EXE", false},
        {"\\NOTEPAD.EXE", "NOTEPAD.EXE", true},
        {"C:\\WINNT\\NOTEPAD.EXE", "", false},
        {"C:/WINNT/NOTEPAD.EXE", "NOTEPAD.EXE", false},
        {"C:\\NOTEPAD.EXE\\X.EXE", "NOTEPAD.EXE", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NameMatches(c.path, c.name), c.match) << c.path << " / " << c.name;
}

// Stored names turn slashes into backslashes; process paths are cut to 259 bytes.
TEST(MonitorName, StoredNamesAndProcessPathsAreUpperCase) {
    EXPECT_EQ(StoredName("a/b.exe"), "A\\B.EXE");
    EXPECT_EQ(UpperProcessPath("c:\\winnt\\notepad.exe"), "C:\\WINNT\\NOTEPAD.EXE");
    EXPECT_EQ(UpperProcessPath(std::string(400, 'a').c_str()).size(), 259u);
    EXPECT_EQ(UpperProcessPath(nullptr), "");
}

} // namespace
} // namespace pm::monitor
