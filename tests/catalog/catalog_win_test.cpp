// Catalogs against the real system: a resource module with string tables in several
// languages, copied into language folders beside the test program.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "shared/catalog/catalog.h"
#include "shared/catalog/catalog_platform.h"
#include "tests/e2e_support_win.h"

namespace pm::catalog {
namespace {

using pm::test::ProgramDir;

// Copies the resource module into <exe dir>\<folder>\<name> for one test and removes it after.
class LocalizedCopies {
public:
    LocalizedCopies() : name_("CATTEST" + std::to_string(GetCurrentProcessId()) + ".DLL") {}
    ~LocalizedCopies() {
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
            DeleteFileA(it->first.c_str());
            if (!it->second.empty()) RemoveDirectoryA(it->second.c_str());
        }
    }
    bool Place(const std::string& folder) {
        const std::string dir = ProgramDir() + folder;
        std::string made_dir;
        if (!folder.empty() && CreateDirectoryA(dir.c_str(), nullptr)) made_dir = dir;
        const std::string target = (folder.empty() ? ProgramDir() : dir + "\\") + name_;
        const bool ok = CopyFileA((ProgramDir() + "catalog_test_module.dll").c_str(),
                                  target.c_str(), FALSE) != FALSE;
        made_.emplace_back(target, made_dir);
        return ok;
    }
    const std::string& Name() const { return name_; }

private:
    std::string name_;
    std::vector<std::pair<std::string, std::string>> made_; // file, folder made for it
};

std::vector<uint16_t> Units(const TextString& compressed) {
    std::vector<uint16_t> units(compressed.Length() + 1);
    const uint32_t n = TextString::DecodeCompressedUnicode(compressed.CStr(), units.data(),
                                                           static_cast<uint32_t>(units.size()));
    units.resize(n > 0 ? n - 1 : 0);
    return units;
}

TEST(CatalogWinTest, FourCharacterCodeFromItsOwnFolder) {
    LocalizedCopies copies;
    ASSERT_TRUE(copies.Place("zhTW"));
    MessageCatalog c(copies.Name().c_str(), "zhTW");
    EXPECT_STREQ(c.ResolvedCode().CStr(), "zhTW");
    EXPECT_EQ(c.Language(), 0x0404u);
    ASSERT_NE(c.Module(), nullptr);
    EXPECT_EQ(Units(c.LoadCompressed(109)), (std::vector<uint16_t>{0x512A, 0x5148}));
    TextString relative;
    EXPECT_STREQ(FindCatalogFile(copies.Name().c_str(), "zhTW", true, &relative).CStr(),
                 ("zhTW\\" + copies.Name()).c_str());
    EXPECT_STREQ(relative.CStr(), "zhTW");
}

TEST(CatalogWinTest, CodeResolvedThroughItsLanguage) {
    LocalizedCopies copies;
    ASSERT_TRUE(copies.Place("de"));
    MessageCatalog c(copies.Name().c_str(), "deAT");
    EXPECT_STREQ(c.ResolvedCode().CStr(), "de");
    EXPECT_EQ(c.Language(), 0x0007u);
    EXPECT_STREQ(c.LoadAnsi(109).CStr(), "Priorit\xE4t");
    // Blocks fall back, not entries: block 7 exists in German, where entry 108 is empty.
    EXPECT_STREQ(c.LoadAnsi(108).CStr(), "");
    // Block 8 exists in neither German nor English: the neutral language.
    EXPECT_STREQ(c.LoadAnsi(112).CStr(), "neutral text");
    EXPECT_EQ(c.LoadAnsi(200).Text(), nullptr);
}

TEST(CatalogWinTest, LanguageMissingResolvesToEnglish) {
    LocalizedCopies copies;
    ASSERT_TRUE(copies.Place("")); // beside the program
    MessageCatalog c(copies.Name().c_str(), "fr");
    EXPECT_STREQ(c.ResolvedCode().CStr(), "en");
    EXPECT_EQ(c.Language(), 0x000Cu);
    ASSERT_NE(c.Module(), nullptr);
    EXPECT_STREQ(c.LoadAnsi(109).CStr(), "Priority");
    EXPECT_STREQ(c.LoadAnsi(112).CStr(), "neutral text");
    // "Priority" in compressed unicode is as long as in ANSI.
    EXPECT_EQ(c.LoadCompressed(109).Length(), 8u);
}

TEST(CatalogWinTest, FourCharacterMissFallsBackToTwo) {
    LocalizedCopies copies;
    ASSERT_TRUE(copies.Place("zhCN"));
    ASSERT_TRUE(copies.Place("zh"));
    MessageCatalog c(copies.Name().c_str(), "zhCN");
    // No 0x0804 strings; "zh" (0x0004) accepts the Traditional Chinese ones.
    EXPECT_STREQ(c.ResolvedCode().CStr(), "zh");
    EXPECT_EQ(c.Language(), 0x0004u);
}

TEST(CatalogWinTest, LoadCatalogStringFromAModule) {
    HMODULE m = LoadLibraryA((ProgramDir() + "catalog_test_module.dll").c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(LoadCatalogString(108, m).CStr(), "User ID");
    EXPECT_EQ(LoadCatalogString(4000, m).Text(), nullptr);
    char buffer[5];
    EXPECT_EQ(LoadCatalogString(108, m, buffer, sizeof buffer), 4);
    EXPECT_STREQ(buffer, "User");
    // The program itself holds no strings.
    EXPECT_EQ(LoadCatalogString(108).Text(), nullptr);
    FreeLibrary(m);
}

TEST(CatalogWinTest, NoCopyAnywhere) {
    EXPECT_TRUE(FindCatalogFile("NOSUCHCATALOG.DLL", "deAT", false).IsEmpty());
    MessageCatalog c("NOSUCHCATALOG.DLL", "de");
    EXPECT_EQ(c.Module(), nullptr);
    EXPECT_EQ(c.ResolvedCode().Text(), nullptr); // the program holds no string table
}

} // namespace
} // namespace pm::catalog
