// The real thing under Windows (or Wine): TextString through lstrcmpA, CharUpperA and
// KAVUCD32.DLL, which the program imports by ordinal. The Wine prefix's locale is 0x0409: ANSI
// code page 1252, OEM code page 437.
#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>

#include "shared/text/text_string.h"

namespace {

using pm::TextString;

TEST(TextWinTest, TheSystemCodePagesAreTheOnesTheseTestsExpect) {
    ASSERT_EQ(GetACP(), 1252u);
    ASSERT_EQ(GetOEMCP(), 437u);
}

TEST(TextWinTest, ConversionsThroughTheLibrary) {
    const struct {
        const char* name;
        int (TextString::*convert)();
        const char* before;
        const char* after;
        uint32_t capacity;
    } rows[] = {
        // "café" in Windows-1252: 'c' = 6C, 'a' = 64, 'f' = 69, 'é' = E6 04.
        {"ansi", &TextString::ToCompressedUnicode, "caf\xE9", "\x6C\x64\x69\xE6\x04", 6},
        {"back to ansi", &TextString::FromCompressedUnicode, "\x6C\x64\x69\xE6\x04", "caf\xE9", 5},
        // '€' in Windows-1252 is U+20AC: two bytes.
        {"euro", &TextString::ToCompressedUnicode, "\x80", "\xA3\x44", 3},
        // 'A' 'é' '中' compressed, and the same in UTF-8.
        {"to utf-8", &TextString::CompressedToUtf8, "\x44\xE6\x04\xA7\x93\x04",
         "\x41\xC3\xA9\xE4\xB8\xAD", 7},
        {"from utf-8", &TextString::Utf8ToCompressed, "\x41\xC3\xA9\xE4\xB8\xAD",
         "\x44\xE6\x04\xA7\x93\x04", 7},
        // '中' is not in Windows-1252.
        {"unmappable", &TextString::FromCompressedUnicode, "\x44\xE6\x04\xA7\x93\x04", "A\xE9?", 4},
        // 'é' 'ß' in code page 437 through ordinal 11: 'é' U+00E9 = E6 04; 'ß' U+00DF =
        // 0x80|swap(0x5F) = DF (0x5F is its own swap), swap(0x01) = 04.
        {"oem", &TextString::OemToCompressedUnicode, "\x82\xE1", "\xE6\x04\xDF\x04", 5},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TextString s(row.before);
        ASSERT_EQ((s.*row.convert)(), 1);
        EXPECT_STREQ(s.CStr(), row.after);
        EXPECT_EQ(s.Capacity(), row.capacity);
    }
}

TEST(TextWinTest, EveryAnsiByteRoundTrips) {
    std::string all;
    for (int b = 1; b < 256; ++b) {
        all.push_back(static_cast<char>(b));
    }
    TextString s(all.c_str());
    ASSERT_EQ(s.ToCompressedUnicode(), 1);
    ASSERT_EQ(s.CompressedToUtf8(), 1);
    ASSERT_EQ(s.Utf8ToCompressed(), 1);
    ASSERT_EQ(s.FromCompressedUnicode(), 1);
    EXPECT_EQ(std::string(s.CStr()), all);
}

TEST(TextWinTest, ComparisonsUseLstrcmpA) {
    EXPECT_TRUE(TextString("quorlent") == "quorlent");
    EXPECT_TRUE(TextString("quorlent") != "QUORLENT"); // case counts
    // The system's order is not byte order: 'a' (0x61) sorts before 'B' (0x42).
    EXPECT_EQ(TextString("a").Compare("B"), -1);
    EXPECT_TRUE(TextString("a") < TextString("B"));
    EXPECT_EQ(TextString("B").Compare("a"), 1);
    EXPECT_EQ(TextString().Compare(""), 0);
    EXPECT_EQ(TextString("abc").Compare("abd"), -1);
}

TEST(TextWinTest, UpperCaseUsesCharUpperA) {
    TextString s("caf\xE9 quorlent.exe");
    s.MakeUpper();
    EXPECT_STREQ(s.CStr(), "CAF\xC9 QUORLENT.EXE");
}

// The program's import table names KAVUCD32.DLL with ordinals only.
TEST(TextWinImportTest, Kavucd32IsImportedByOrdinal) {
    const auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleA(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    ASSERT_NE(dir.VirtualAddress, 0u);
    std::set<unsigned> ordinals;
    bool found = false;
    for (const auto* desc =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         desc->Name != 0; ++desc) {
        const char* name = reinterpret_cast<const char*>(base + desc->Name);
        if (lstrcmpiA(name, "KAVUCD32.DLL") != 0) {
            continue;
        }
        found = true;
        const DWORD lookup =
            desc->OriginalFirstThunk != 0 ? desc->OriginalFirstThunk : desc->FirstThunk;
        for (const auto* thunk = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + lookup);
             thunk->u1.AddressOfData != 0; ++thunk) {
            EXPECT_TRUE(IMAGE_SNAP_BY_ORDINAL(thunk->u1.Ordinal)) << "an import by name";
            ordinals.insert(static_cast<unsigned>(IMAGE_ORDINAL(thunk->u1.Ordinal)));
        }
    }
    ASSERT_TRUE(found);
    EXPECT_EQ(ordinals, (std::set<unsigned>{1, 3, 5, 8, 11}));
}

} // namespace
