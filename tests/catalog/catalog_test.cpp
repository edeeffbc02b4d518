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
    const struct {
        const char* code;
        size_t length;
        int langid;                                                               // -1: not found
    } cases[] = {{"ZHtw", 4, 0x0404}, {"zhCNxx", 4, 0x0804}, {"zhTW", 2, 0x0004}, // first two
                 {"deAT", 4, -1},     {"deAT", 2, 0x0007},   {"sr", 2, 0x001A},
                 {"d", 2, -1},        {nullptr, 2, -1},      {"xx", 2, -1}};
    for (const auto& c : cases) {
        const LanguageRow* row = FindLanguageByCode(c.code, c.length);
        EXPECT_EQ(row ? int(row->langid) : -1, c.langid) << (c.code ? c.code : "null");
    }
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

// ---- GetLanguageCode, LoadCatalogString and FindCatalogFile ---------------------------------

TEST_F(CatalogTest, LanguageCodeAndStringsOfTheMainModule) {
    p.lcid = 0x0404;
    EXPECT_STREQ(GetLanguageCode(), "zhTW");
    p.lcid = 0x0439;
    EXPECT_STREQ(GetLanguageCode(), "en");

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
    const struct {
        const char* added; // a file that exists from this step on
        const char* code;
        bool relative;
        const char *path, *used; // used: null when not looked at
    } steps[] = {
        {nullptr, "deAT", false, "", nullptr},
        {"en\\", "deAT", false, "C:\\Prog\\en\\TARNVEX.DLL", "en"},
        {"", "deAT", false, "C:\\Prog\\TARNVEX.DLL", "deAT"},
        {"de\\", "deAT", false, "C:\\Prog\\de\\TARNVEX.DLL", "de"},
        {nullptr, "deu", false, "C:\\Prog\\TARNVEX.DLL", nullptr}, // 3 characters: no "de"
        {"deAT\\", "deAT", false, "C:\\Prog\\deAT\\TARNVEX.DLL", "deAT"},
        {nullptr, "deAT", true, "deAT\\TARNVEX.DLL", nullptr},
        {nullptr, "fr", true, "TARNVEX.DLL", "fr"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(std::string(s.code) + " " + s.path);
        if (s.added) p.files.insert(std::string("C:\\Prog\\") + s.added + "TARNVEX.DLL");
        TextString used;
        EXPECT_STREQ(FindCatalogFile("TARNVEX.DLL", s.code, s.relative, &used).CStr(), s.path);
        EXPECT_STREQ(s.used ? used.CStr() : nullptr, s.used);
    }
}

// ---- string-table blocks --------------------------------------------------------------------

TEST_F(CatalogTest, StringBlockEntriesAndTruncatedBlocks) {
    EXPECT_EQ(StringBlockOf(109), 7); // 109 is entry 13 of block 7
    auto block = StringBlock({{12, u"twelve"}, {13, u"Priority"}});
    std::u16string out;
    ASSERT_TRUE(StringBlockEntry(block.data(), block.size(), 13, &out));
    EXPECT_EQ(out, u"Priority");
    ASSERT_TRUE(StringBlockEntry(block.data(), block.size(), 0, &out));
    EXPECT_EQ(out, u"");
    const uint16_t short_entry[] = {5, 'a', 'b'}; // claims 5 units, holds 2
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

using Languages = std::initializer_list<std::pair<uint16_t, std::u16string>>;

// A module with block 7 (ids 96-111) in the given languages, entry 13 naming the language.
FakeModule ModuleIn(Languages languages) {
    FakeModule m;
    for (const auto& [lang, text] : languages)
        m.blocks[7][lang] = StringBlock({{13, text}});
    return m;
}

// How each catalog resolves its code: the language, the module file kept loaded (the one placed,
// or the main module), the loads and unloads, and what id 109 reads. A "zhTW" file in English
// only is always there; the file placed may replace it.
TEST_F(MessageCatalogTest, Resolution) {
    struct Case {
        const char* what;
        const char* placed;  // the folder of a localized file, null: only the main module
        Languages languages; // of that file, or of the main module
        const char *module, *code, *requested, *resolved; // resolved: null when not resolved
        uint32_t language;
        int loads, unloads;
        const char* text; // of id 109 in ANSI, null for none
    } cases[] = {
        // clang-format off
        {"four characters held", "zhTW\\", {{0x0404, u"\x512A\x5148"}}, "TARNVEX.DLL", "zhTW",
         "zhTW", "zhTW", 0x0404, 1, 0, "??"},
        // The block is in 0x0407, which the catalog does not ask for: the fallbacks find none.
        {"a code not in the table by its first two", "de\\", {{0x0407, u"Priorit\u00E4t"}},
         "TARNVEX.DLL", "deAT", "deAT", "de", 0x0007, 1, 0, nullptr},
        {"four characters missed: unloaded, two tried", "zh\\", {{0x0004, u"zh"}}, "TARNVEX.DLL",
         "zhTW", "zhTW", "zh", 0x0004, 2, 1, "zh"},
        {"language not held: English before neutral", "", {{0x0009, u"Priority"}, {0, u"neutral"}},
         "TARNVEX.DLL", "fr", "fr", "en", 0x000C, 1, 0, "Priority"},
        {"no string table: unresolved", "de\\", {}, "TARNVEX.DLL", "de", "de", nullptr, 0x0007, 1,
         0, nullptr},
        {"no module: the user's language before English", nullptr,
         {{0x0009, u"Priority"}, {0x0007, u"Priorit\u00E4t"}}, nullptr, nullptr, "de", "de", 0x0007,
         0, 0, "Priorit\xE4t"},
        {"no localized file: the main module", nullptr, {{0x0009, u"Priority"}}, "TARNVEX.DLL",
         "sv", "sv", "en", 0x001D, 0, 0, "Priority"},
        {"unknown code: the neutral language, exactly LANGID 0", nullptr, {{0, u"neutral"}},
         nullptr, "xxYY", "xxYY", "xx", 0, 0, 0, "neutral"},
        // clang-format on
    };
    const std::string dir = "C:\\Prog\\";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        p = FakeCatalogPlatform{};
        p.lcid = 0x0407;
        Place(dir + "zhTW\\TARNVEX.DLL", ModuleIn({{0x0009, u"english"}}));
        if (c.placed)
            Place(dir + c.placed + "TARNVEX.DLL", ModuleIn(c.languages));
        else
            p.main_module = ModuleIn(c.languages);
        {
            MessageCatalog m(c.module, c.code);
            EXPECT_STREQ(m.RequestedCode().CStr(), c.requested);
            EXPECT_STREQ(m.ResolvedCode().Text(), c.resolved);
            EXPECT_EQ(m.Language(), c.language);
            EXPECT_EQ(m.Module(),
                      c.placed ? &p.module_files[dir + c.placed + "TARNVEX.DLL"] : nullptr);
            EXPECT_EQ(p.loads, c.loads);
            EXPECT_EQ(p.unloads, c.unloads);
            EXPECT_STREQ(m.LoadAnsi(109).Text(), c.text);
        }
        EXPECT_EQ(p.unloads, p.loads); // destroying the catalog unloads its module
    }
    EXPECT_EQ(MessageCatalog(nullptr, "x").Language(), 0u);
}

TEST_F(MessageCatalogTest, FallbackBlocksEntriesAndCompressedText) {
    FakeModule m = ModuleIn({{0x0009, u"Priority"}, {0x0000, u"neutral 7"}});
    m.blocks[8][0x0000] = StringBlock({{0, u"neutral"}}); // id 112
    Place("C:\\Prog\\TARNVEX.DLL", m);
    MessageCatalog c("TARNVEX.DLL", "fr");
    EXPECT_STREQ(c.LoadAnsi(112).CStr(), "neutral");
    EXPECT_EQ(c.LoadAnsi(130).Text(), nullptr); // block 9 nowhere
    EXPECT_STREQ(c.LoadAnsi(110).CStr(), "");   // block found, entry empty
    EXPECT_NE(c.LoadAnsi(110).Text(), nullptr);
    // In compressed unicode (its bytes: text/compressed_unicode_test): one byte for each ASCII
    // letter, three for each of U+512A and U+5148.
    TextString s = c.LoadCompressed(109);
    ASSERT_EQ(s.Length(), 8u);

    Place("C:\\Prog\\de\\TARNVEX.DLL", FakeModule{});
    EXPECT_EQ(MessageCatalog("TARNVEX.DLL", "de").LoadCompressed(109).Text(), nullptr);
    Place("C:\\Prog\\zhTW\\TARNVEX.DLL", ModuleIn({{0x0404, u"\x512A\x5148"}}));
    s = MessageCatalog("TARNVEX.DLL", "zhTW").LoadCompressed(109);
    EXPECT_EQ(s.Capacity(), 7u);
    uint16_t units[4] = {};
    EXPECT_EQ(TextString::DecodeCompressedUnicode(s.CStr(), units, 4), 3u);
    EXPECT_EQ(units[0], 0x512A);
    EXPECT_EQ(units[1], 0x5148);
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
