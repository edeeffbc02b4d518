#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "shared/catalog/catalog.h"
#include "shared/catalog/language_table.h"
#include "tests/catalog/fake_catalog_platform.h"

namespace pm::catalog::test {
namespace {

// ---- language selection ---------------------------------------------------------------------

TEST(LanguageTableTest, CodeForLcidTakesTheFirstMatchingRow) {
    const struct {
        uint32_t lcid;
        const char* code;
    } cases[] = {
        {0x0404, "zhTW"}, {0x0804, "zhCN"}, {0x0C04, "zhCN"}, // 0x0C04: the any-sub-language row
        {0x0409, "en"},   {0x0407, "de"},   {0x0C07, "de"},   {0x0436, "af"}, // the first row
        {0x042A, "vi"},                                                       // the last row
        {0x0C1A, "hr"}, // Serbian shares its primary language with Croatian, which comes first
        {0x0439, "en"}, // not in the table
        {0x0000, "en"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(LanguageCodeForLcid(c.lcid), c.code) << c.lcid;
}

TEST(LanguageTableTest, FindByCodeIgnoresCaseAndMatchesWholeCodes) {
    ASSERT_NE(FindLanguageByCode("ZHtw", 4), nullptr);
    EXPECT_EQ(FindLanguageByCode("ZHtw", 4)->langid, 0x0404);
    EXPECT_EQ(FindLanguageByCode("zhCNxx", 4)->langid, 0x0804);
    EXPECT_EQ(FindLanguageByCode("zhTW", 2)->langid, 0x0004); // the first two characters
    EXPECT_EQ(FindLanguageByCode("deAT", 4), nullptr);
    EXPECT_EQ(FindLanguageByCode("deAT", 2)->langid, 0x0007);
    EXPECT_EQ(FindLanguageByCode("sr", 2)->langid, 0x001A);
    EXPECT_EQ(FindLanguageByCode("d", 2), nullptr);
    EXPECT_EQ(FindLanguageByCode(nullptr, 2), nullptr);
    EXPECT_EQ(FindLanguageByCode("xx", 2), nullptr);
}

TEST(LanguageTableTest, ResourceLanguageMatching) {
    EXPECT_TRUE(ResourceLanguageMatches(0x0404, 0x0404));
    EXPECT_TRUE(ResourceLanguageMatches(0x0407, 0x0007));  // wanted names only the language
    EXPECT_FALSE(ResourceLanguageMatches(0x0804, 0x0404)); // another sub-language
    EXPECT_FALSE(ResourceLanguageMatches(0x0004, 0x0404));
    EXPECT_FALSE(ResourceLanguageMatches(0x0409, 0x0007));
}

// Each test runs against its own fake platform.
class CatalogTest : public ::testing::Test {
protected:
    // A localized module file at `path`.
    void Place(const std::string& path, FakeModule module) {
        p.files.insert(path);
        p.module_files[path] = std::move(module);
    }
    FakeCatalogPlatform p;
    ScopedCatalogPlatform use{p};
};
using MessageCatalogTest = CatalogTest;

TEST_F(CatalogTest, GetLanguageCodeFromTheUserLocale) {
    p.lcid = 0x0404;
    EXPECT_STREQ(GetLanguageCode(), "zhTW");
    p.lcid = 0x0439;
    EXPECT_STREQ(GetLanguageCode(), "en");
}

// ---- LoadCatalogString and FindCatalogFile --------------------------------------------------

TEST_F(CatalogTest, LoadCatalogStringReadsTheMainModule) {
    p.main_strings[101] = "Process ID";
    p.main_strings[300] = std::string(300, 'x'); // more than the 256-byte buffer holds

    TextString s = LoadCatalogString(101);
    EXPECT_STREQ(s.CStr(), "Process ID");
    EXPECT_EQ(s.Capacity(), 11u);                      // exact length
    EXPECT_EQ(LoadCatalogString(999).Text(), nullptr); // missing: no buffer at all
    EXPECT_EQ(LoadCatalogString(300).Length(), 255u);

    char buffer[8];
    EXPECT_EQ(LoadCatalogString(101, nullptr, buffer, sizeof buffer), 7);
    EXPECT_STREQ(buffer, "Process");
    EXPECT_EQ(LoadCatalogString(999, nullptr, buffer, sizeof buffer), 0);
}

TEST_F(CatalogTest, FindCatalogFileTriesTheCandidatesInOrder) {
    TextString used;

    EXPECT_TRUE(FindCatalogFile("TARNVEX.DLL", "deAT", false, &used).IsEmpty());

    p.files.insert("C:\\Prog\\en\\TARNVEX.DLL");
    EXPECT_STREQ(FindCatalogFile("TARNVEX.DLL", "deAT", false, &used).CStr(),
                 "C:\\Prog\\en\\TARNVEX.DLL");
    EXPECT_STREQ(used.CStr(), "en");

    p.files.insert("C:\\Prog\\TARNVEX.DLL");
    EXPECT_STREQ(FindCatalogFile("TARNVEX.DLL", "deAT", false, &used).CStr(),
                 "C:\\Prog\\TARNVEX.DLL");
    EXPECT_STREQ(used.CStr(), "deAT");

    p.files.insert("C:\\Prog\\de\\TARNVEX.DLL");
    EXPECT_STREQ(FindCatalogFile("TARNVEX.DLL", "deAT", false, &used).CStr(),
                 "C:\\Prog\\de\\TARNVEX.DLL");
    EXPECT_STREQ(used.CStr(), "de");
    // Only codes longer than 3 characters try their first two.
    EXPECT_STREQ(FindCatalogFile("TARNVEX.DLL", "deu", false, &used).CStr(),
                 "C:\\Prog\\TARNVEX.DLL");

    p.files.insert("C:\\Prog\\deAT\\TARNVEX.DLL");
    EXPECT_STREQ(FindCatalogFile("TARNVEX.DLL", "deAT", false, &used).CStr(),
                 "C:\\Prog\\deAT\\TARNVEX.DLL");
    EXPECT_STREQ(used.CStr(), "deAT");
    EXPECT_STREQ(FindCatalogFile("TARNVEX.DLL", "deAT", true).CStr(), "deAT\\TARNVEX.DLL");
    EXPECT_STREQ(FindCatalogFile("TARNVEX.DLL", "fr", true, &used).CStr(), "TARNVEX.DLL");
    EXPECT_STREQ(used.CStr(), "fr");
}

// ---- string-table blocks --------------------------------------------------------------------

TEST_F(CatalogTest, StringId109IsEntry13OfBlock7) {
    EXPECT_EQ(StringBlockOf(109), 7);
    EXPECT_EQ(109 % kStringsPerBlock, 13u);
    auto block = StringBlock({{12, u"twelve"}, {13, u"Priority"}});
    std::u16string out;
    ASSERT_TRUE(StringBlockEntry(block.data(), block.size(), 13, &out));
    EXPECT_EQ(out, u"Priority");
    ASSERT_TRUE(StringBlockEntry(block.data(), block.size(), 0, &out));
    EXPECT_EQ(out, u"");
}

TEST_F(CatalogTest, TruncatedBlocksAreRefused) {
    const uint16_t short_entry[] = {5, 'a', 'b'}; // claims 5 units, holds 2
    std::u16string out;
    EXPECT_FALSE(StringBlockEntry(short_entry, 3, 0, &out));
    const uint16_t two[] = {1, 'a', 0};
    EXPECT_TRUE(StringBlockEntry(two, 3, 1, &out));
    EXPECT_FALSE(StringBlockEntry(two, 3, 2, &out));
    EXPECT_FALSE(StringBlockEntry(two, 0, 0, &out));
    const uint16_t huge[] = {0xFFFF, 'a'};
    EXPECT_FALSE(StringBlockEntry(huge, 2, 0, &out));
    EXPECT_FALSE(StringBlockEntry(huge, 2, 1, &out));
}

// ---- MessageCatalog -------------------------------------------------------------------------

// A module with block 7 (ids 96-111) in the given languages, entry 13 naming the language.
FakeModule ModuleIn(std::initializer_list<std::pair<uint16_t, std::u16string>> languages) {
    FakeModule m;
    for (const auto& [lang, text] : languages)
        m.blocks[7][lang] = StringBlock({{13, text}});
    return m;
}

TEST_F(MessageCatalogTest, FourCharacterCodeResolvesWhenTheModuleHoldsIt) {
    Place("C:\\Prog\\zhTW\\TARNVEX.DLL", ModuleIn({{0x0404, u"\x512A\x5148"}}));
    {
        MessageCatalog c("TARNVEX.DLL", "zhTW");
        EXPECT_STREQ(c.RequestedCode().CStr(), "zhTW");
        EXPECT_STREQ(c.ResolvedCode().CStr(), "zhTW");
        EXPECT_EQ(c.Language(), 0x0404u);
        // U+512A and U+5148 take three bytes each in compressed unicode.
        TextString s = c.LoadCompressed(109);
        EXPECT_EQ(s.Capacity(), 7u);
        uint16_t units[4] = {};
        EXPECT_EQ(TextString::DecodeCompressedUnicode(s.CStr(), units, 4), 3u);
        EXPECT_EQ(units[0], 0x512A);
        EXPECT_EQ(units[1], 0x5148);
        EXPECT_EQ(p.unloads, 0);
    }
    EXPECT_EQ(p.loads, 1);
    EXPECT_EQ(p.unloads, 1); // destroying the catalog unloads its module
}

TEST_F(MessageCatalogTest, CodeNotInTheTableResolvesThroughItsFirstTwoCharacters) {
    Place("C:\\Prog\\de\\TARNVEX.DLL", ModuleIn({{0x0407, u"Priorit\u00E4t"}}));
    MessageCatalog c("TARNVEX.DLL", "deAT");
    EXPECT_STREQ(c.ResolvedCode().CStr(), "de");
    EXPECT_EQ(c.Language(), 0x0007u);
    EXPECT_EQ(c.Module(), &p.module_files["C:\\Prog\\de\\TARNVEX.DLL"]);
    // The block is in 0x0407, which the catalog does not ask for: the fallbacks find nothing.
    EXPECT_EQ(c.LoadAnsi(109).Text(), nullptr);
}

TEST_F(MessageCatalogTest, FourCharacterMissUnloadsAndTriesTwoCharacters) {
    Place("C:\\Prog\\zhTW\\TARNVEX.DLL", ModuleIn({{0x0009, u"english"}}));
    Place("C:\\Prog\\zh\\TARNVEX.DLL", ModuleIn({{0x0004, u"zh"}}));
    MessageCatalog c("TARNVEX.DLL", "zhTW");
    EXPECT_STREQ(c.ResolvedCode().CStr(), "zh");
    EXPECT_EQ(c.Language(), 0x0004u);
    EXPECT_EQ(p.loads, 2);
    EXPECT_EQ(p.unloads, 1);
    EXPECT_STREQ(c.LoadAnsi(109).CStr(), "zh");
}

TEST_F(MessageCatalogTest, ModuleWithoutTheLanguageResolvesToEnglishAndReadsTheFallbacks) {
    FakeModule m = ModuleIn({{0x0009, u"Priority"}, {0x0000, u"neutral 7"}});
    m.blocks[8][0x0000] = StringBlock({{0, u"neutral"}}); // id 112
    Place("C:\\Prog\\TARNVEX.DLL", m);
    MessageCatalog c("TARNVEX.DLL", "fr");
    EXPECT_STREQ(c.ResolvedCode().CStr(), "en");
    EXPECT_EQ(c.Language(), 0x000Cu);
    EXPECT_NE(c.Module(), nullptr); // stays loaded

    EXPECT_STREQ(c.LoadAnsi(109).CStr(), "Priority"); // English before the neutral language
    EXPECT_STREQ(c.LoadAnsi(112).CStr(), "neutral");
    EXPECT_EQ(c.LoadAnsi(130).Text(), nullptr); // block 9 nowhere
    EXPECT_STREQ(c.LoadAnsi(110).CStr(), "");   // block found, entry empty
    EXPECT_NE(c.LoadAnsi(110).Text(), nullptr);

    // "Priority" in compressed unicode: every ASCII letter one swapped byte.
    TextString s = c.LoadCompressed(109);
    ASSERT_EQ(s.Length(), 8u);
    EXPECT_EQ(static_cast<uint8_t>(s.CStr()[0]), 0x50); // 'P' 0x50: bits 0-3 are 0000
    EXPECT_EQ(static_cast<uint8_t>(s.CStr()[1]), 0x78); // 'r' 0x72: bits 0-1 10 and 2-3 00 swap
}

TEST_F(MessageCatalogTest, NoStringTableLeavesTheCodeUnresolved) {
    Place("C:\\Prog\\de\\TARNVEX.DLL", FakeModule{});
    MessageCatalog c("TARNVEX.DLL", "de");
    EXPECT_EQ(c.ResolvedCode().Text(), nullptr);
    EXPECT_NE(c.Module(), nullptr);
    EXPECT_EQ(c.LoadCompressed(109).Text(), nullptr);
}

TEST_F(MessageCatalogTest, WithoutModuleTheMainModuleIsRead) {
    p.lcid = 0x0407;
    p.main_module = ModuleIn({{0x0009, u"Priority"}, {0x0007, u"Priorit\u00E4t"}});
    MessageCatalog c(nullptr);
    EXPECT_STREQ(c.RequestedCode().CStr(), "de"); // from the user's locale
    EXPECT_STREQ(c.ResolvedCode().CStr(), "de");
    EXPECT_EQ(c.Module(), nullptr);
    EXPECT_EQ(p.loads, 0);
    EXPECT_STREQ(c.LoadAnsi(109).CStr(), "Priorit\xE4t"); // its own language before English
}

TEST_F(MessageCatalogTest, MissingLocalizedFileFallsBackToTheMainModule) {
    p.main_module = ModuleIn({{0x0009, u"Priority"}});
    MessageCatalog c("TARNVEX.DLL", "sv");
    EXPECT_EQ(c.Module(), nullptr);
    EXPECT_STREQ(c.ResolvedCode().CStr(), "en");
    EXPECT_STREQ(c.LoadAnsi(109).CStr(), "Priority");
}

TEST_F(MessageCatalogTest, UnknownCodeUsesTheNeutralLanguage) {
    p.main_module = ModuleIn({{0x0000, u"neutral"}});
    MessageCatalog c(nullptr, "xxYY");
    EXPECT_EQ(c.Language(), 0u);
    // The neutral resources are exactly the wanted LANGID 0.
    EXPECT_STREQ(c.ResolvedCode().CStr(), "xx");
    EXPECT_STREQ(c.LoadAnsi(109).CStr(), "neutral");
    EXPECT_EQ(MessageCatalog(nullptr, "x").Language(), 0u);
}

TEST_F(MessageCatalogTest, FirstBlockLanguagesDecide) {
    p.main_module = ModuleIn({{0x0409, u"us"}});
    p.main_module.first_block_languages = {0x0409, 0x0804};
    EXPECT_STREQ(MessageCatalog(nullptr, "zhCN").ResolvedCode().CStr(), "zhCN");
    // 0x0404 is missing; "zh" (0x0004) takes any Chinese resource language.
    EXPECT_STREQ(MessageCatalog(nullptr, "zhTW").ResolvedCode().CStr(), "zh");
    EXPECT_STREQ(MessageCatalog(nullptr, "fr").ResolvedCode().CStr(), "en");
}

} // namespace
} // namespace pm::catalog::test
