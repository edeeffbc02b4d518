// The program's string tables (quorlent_strings.rc, linked into this test program) and
// Get Configuration against the real system.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

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

// The records' layouts are checked byte for byte natively, the texts above, and the agent's
// end-to-end test reads the flags, tabs, signals and language through the console: here what
// only this machine's version answers.
TEST(BaseInfoWinTest, GetConfigurationOfThisMachine) {
    auto items = SystemProcessBaseInfo();
    ASSERT_EQ(items.size(), 5u);
    const bool win95 = table::Kernel32ToolhelpComplete(); // true under Wine
    const OsVersion v = QueryOsVersion();
    ASSERT_EQ(items[0].size(), 16u);
    const uint8_t want[] = {4, uint8_t(v.major), uint8_t(v.minor), 0, uint8_t(win95 ? 0x1D : 0x1F)};
    EXPECT_EQ(std::vector<uint8_t>(items[0].data() + 4, items[0].data() + 9),
              std::vector<uint8_t>(want, want + 5));
    EXPECT_EQ(Ansi(items[4].data()), "en");
}

} // namespace
} // namespace pm::baseinfo
