// The program's string tables (quorlent_strings.rc, linked into this test program) and
// Get Configuration against the real system.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "procman/w32/baseinfo/base_info_win.h"
#include "procman/w32/table/snapshot_platform_win.h"
#include "shared/catalog/catalog.h"
#include "shared/text/text_string.h"
#include "tests/baseinfo/english_texts.h"

namespace pm::baseinfo {
namespace {

std::string Ansi(const uint8_t* compressed) {
    TextString t(reinterpret_cast<const char*>(compressed));
    t.FromCompressedUnicode();
    return t.CStr();
}

TEST(BaseInfoWinTest, EveryTextIsInTheProgramsEnglishTable) {
    // A new Wine prefix runs with the US English locale.
    for (const auto& [id, english] : English()) {
        EXPECT_STREQ(catalog::LoadCatalogString(id).CStr(), english.c_str());
    }
    EXPECT_EQ(ProgramStrings()(205), "Close Application");
    EXPECT_EQ(ProgramStrings()(999), "");
}

TEST(BaseInfoWinTest, OtherLanguagesThroughACatalogOfTheProgram) {
    catalog::MessageCatalog de(nullptr, "deAT");
    EXPECT_STREQ(de.ResolvedCode().CStr(), "de");
    EXPECT_STREQ(de.LoadAnsi(106).CStr(), "Anz. Threads");
    EXPECT_STREQ(de.LoadAnsi(205).CStr(), "Anwendung schlie\xDF"
                                          "en");
    catalog::MessageCatalog fr(nullptr, "fr");
    EXPECT_STREQ(fr.ResolvedCode().CStr(), "fr");
    EXPECT_STREQ(fr.LoadAnsi(116).CStr(), "\xC9tat");
    catalog::MessageCatalog es(nullptr, "es");
    EXPECT_STREQ(es.LoadAnsi(213).CStr(), "Detener servicio");
    catalog::MessageCatalog it(nullptr, "it");
    EXPECT_STREQ(it.ResolvedCode().CStr(), "en");
    EXPECT_STREQ(it.LoadAnsi(102).CStr(), "Program Name"); // the English fallback
    for (const auto& [id, english] : English()) {
        EXPECT_FALSE(de.LoadAnsi(id).IsEmpty()) << id;
        EXPECT_FALSE(fr.LoadAnsi(id).IsEmpty()) << id;
        EXPECT_FALSE(es.LoadAnsi(id).IsEmpty()) << id;
    }
}

TEST(BaseInfoWinTest, OsVersionWithoutTheMessagingLibrary) {
    ASSERT_EQ(GetModuleHandleA("KAVIPC32.DLL"), nullptr);
    OsVersion v = QueryOsVersion();
    EXPECT_EQ(v.platform, 2u); // Wine reports the NT family
    EXPECT_GE(v.major, 5u);
}

TEST(BaseInfoWinTest, GetConfigurationOfThisMachine) {
    auto items = SystemProcessBaseInfo();
    ASSERT_EQ(items.size(), 5u);
    const bool win95 = table::Kernel32ToolhelpComplete(); // true under Wine
    const uint8_t* info = items[0].data();
    ASSERT_EQ(items[0].size(), 16u);
    EXPECT_EQ(info[4], 4);                   // NT family
    EXPECT_EQ(info[8], win95 ? 0x1D : 0x1F); // flags
    EXPECT_EQ(info[12], win95 ? 1 : 3);      // groups
    const uint8_t* fields = items[1].data();
    EXPECT_EQ(fields[4], win95 ? 6 : 7);
    EXPECT_EQ(Ansi(fields + 22 + 16), "Program Name"); // title of the first record
    // "Program Name" 12, "Process ID" 10, "Num. Threads" 12, "Priority" 8, "Monitored" 9;
    // Windows 95 mode adds "Parent Process ID" 17; NT mode "User ID" 7, "Memory" 6 and the
    // service blocks with "Program Name" and "State" 5.
    const uint32_t common = 12 + 10 + 12 + 8 + 9;
    EXPECT_EQ(items[1].size(),
              win95 ? 123 + 1 + common + 17 : 250 + 3 + common + 7 + 6 + 2 * (12 + 5));
    const uint8_t* signals = items[2].data();
    EXPECT_EQ(signals[4], win95 ? 1 : 7);
    EXPECT_EQ(Ansi(signals + 8 + 16), "Close Application");
    EXPECT_EQ(Ansi(items[4].data()), "en");
    EXPECT_EQ(items[4].size(), 3u);
}

} // namespace
} // namespace pm::baseinfo
