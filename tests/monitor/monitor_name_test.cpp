#include <gtest/gtest.h>

#include "shared/monitor/monitor_name.h"
#include "shared/text/text_string.h"

namespace pm::monitor {
namespace {

struct BareCase {
    const char* path;
    const char* bare;
};

TEST(MonitorName, BareNameKeepsFileNameAndExtension) {
    const BareCase cases[] = {
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
}

TEST(MonitorName, EachPartIsCutAt255Bytes) {
    const std::string file(300, 'f'), ext = "." + std::string(300, 'e');
    const std::string bare = BareName("C:\\x\\" + file + ext);
    EXPECT_EQ(bare, std::string(255, 'f') + "." + std::string(254, 'e'));
}

TEST(MonitorName, ATrailByteIsNoSeparator) {
    // Code page 932: 0x95 0x5C is one character whose trail byte is a backslash.
    LeadByteTable cp932 = LeadByteTable::CodePage932();
    const std::string path = std::string("C:\\d\\") + "\x95\x5C" + "a.exe";
    EXPECT_EQ(BareName(path, cp932), std::string("\x95\x5C") + "a.exe");
}

TEST(MonitorName, StoredNameIsUpperCaseWithBackslashes) {
    EXPECT_EQ(StoredName("notepad.exe"), "NOTEPAD.EXE");
    EXPECT_EQ(StoredName("a/b.exe"), "A\\B.EXE");
}

struct MatchCase {
    const char* path;
    const char* name;
    bool match;
};

TEST(MonitorName, NameRule) {
    const MatchCase cases[] = {
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

TEST(MonitorName, ProcessPathIsUpperCasedAndCut) {
    EXPECT_EQ(UpperProcessPath("c:\\winnt\\notepad.exe"), "C:\\WINNT\\NOTEPAD.EXE");
    EXPECT_EQ(UpperProcessPath(std::string(400, 'a').c_str()).size(), 259u);
    EXPECT_EQ(UpperProcessPath(nullptr), "");
}

TEST(MonitorName, ConsoleNameConvertsFromCompressedUnicode) {
    TextString cu("C:\\Tools\\notepad.exe");
    ASSERT_TRUE(cu.ToCompressedUnicode());
    EXPECT_EQ(ConsoleNameToAnsi(cu.CStr()), "C:\\Tools\\notepad.exe");
}

} // namespace
} // namespace pm::monitor
