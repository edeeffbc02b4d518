#include <gtest/gtest.h>

#include "tests/baseinfo/english_texts.h"

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "procman/w32/baseinfo/base_info_records.h"
#include "shared/text/text_string.h"

namespace pm::baseinfo {
namespace {

using Texts = std::map<unsigned, std::string>;
const Texts kNoTexts;

StringSource Strings(const Texts& m) {
    return [m](unsigned id) {
        auto it = m.find(id);
        return it != m.end() ? it->second : std::string();
    };
}
std::string Text(const Texts& m, unsigned id) {
    return m.count(id) ? m.at(id) : std::string();
}

// A record and readers of its fields; a read beyond its end fails the test and reads 0.
struct Bytes {
    explicit Bytes(Record r) : record(std::move(r)), size(record.size()), data(record.data()) {}
    uint32_t U32(uint32_t at) const { return U16(at) | U16(at + 2) << 16; }
    uint32_t U16(uint32_t at) const {
        if (at + 2 > size) return ADD_FAILURE() << "read beyond the record at " << at, 0;
        return data[at] | data[at + 1] << 8;
    }
    std::vector<uint8_t> All() const { return {data, data + size}; }
    // The compressed-unicode text at `at`, back in ANSI; its stored length in *stored.
    std::string Text(uint32_t at, uint32_t* stored = nullptr) const {
        if (at >= size) return ADD_FAILURE() << "text beyond the record at " << at, "";
        const char* s = reinterpret_cast<const char*>(data + at);
        const size_t n = strnlen(s, size - at);
        EXPECT_LT(at + n, size) << "text without its zero byte";
        if (stored) *stored = static_cast<uint32_t>(n);
        TextString t(std::string(s, n).c_str());
        t.FromCompressedUnicode();
        return t.CStr();
    }
    Record record;
    uint32_t size;
    uint8_t* data;
};

// ---- ProcMgrManagerInfo ---------------------------------------------------------------------

TEST(ManagerInfoTest, ByModeAndVersion) {
    struct Case {
        bool win95;
        OsVersion os;
        std::vector<uint8_t> bytes;
    };
    // version 0x00011000, os_type (4 the NT family, 2 Windows 9x), the low 8 bits of the major
    // and minor versions, os_subversion 0, flags, num_groups.
    const Case cases[] = {
        {false, {0x105, 0x201, 2}, {0x00, 0x10, 0x01, 0x00, 4, 5, 1, 0, 0x1F, 0, 0, 0, 3, 0, 0, 0}},
        {true, {4, 10, 1}, {0x00, 0x10, 0x01, 0x00, 2, 4, 10, 0, 0x1D, 0, 0, 0, 1, 0, 0, 0}},
        // Wine: the toolhelp functions exist while the version query reports the NT family.
        {true, {6, 1, 2}, {0x00, 0x10, 0x01, 0x00, 4, 6, 1, 0, 0x1D, 0, 0, 0, 1, 0, 0, 0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Bytes(GetProcessManagerInfo(c.win95, c.os)).All(), c.bytes) << c.os.major;
}

// ---- columns (ProcMgrInfo1) and kill signals ------------------------------------------------

// One column or signal: its size, the title's offset 16, two values, the title and its zero.
struct Item {
    uint32_t first, second;
    unsigned title;
};

// Checks every byte of the items from `at` and answers the offset after them.
uint32_t CheckItems(const Bytes& b, uint32_t at, const std::vector<Item>& items, const Texts& m) {
    for (const auto& c : items) {
        uint32_t t = 0;
        EXPECT_EQ(b.Text(at + 16, &t), Text(m, c.title)) << at;
        EXPECT_EQ(b.U32(at), 17 + t) << at;
        EXPECT_EQ(b.U32(at + 4), 16u) << at;
        EXPECT_EQ(b.U32(at + 8), c.first) << at;
        EXPECT_EQ(b.U32(at + 12), c.second) << at;
        at += 17 + t;
    }
    return at;
}

// Field id, data type and title of each column.
const std::vector<Item> kWin95Processes = {{2, 0x00030000, 102}, {1, 0x00018001, 101},
                                           {6, 0x00018001, 104}, {4, 0x00010000, 106},
                                           {9, 0x00010013, 109}, {16, 0x00010FF3, 120}};
const std::vector<Item> kNtProcesses = {
    {2, 0x00030000, 102}, {1, 0x00018001, 101},  {8, 0x00030000, 108}, {4, 0x00010000, 106},
    {9, 0x00010013, 109}, {16, 0x00010FF3, 120}, {17, 0x00010004, 121}};
const std::vector<Item> kServices = {{2, 0x00030000, 102}, {15, 0x00010023, 116}};

// One block per tab: a header naming group "1", "2" or "3" ("1" swapped to 0x34 in compressed
// unicode; its length counts the zero byte in Windows 95 mode), then its columns. Missing
// titles are single zero bytes.
TEST(InfoFieldsTest, BlocksByMode) {
    const std::vector<std::vector<Item>> nt = {kNtProcesses, kServices, kServices};
    const struct {
        bool win95;
        const Texts& texts;
        std::vector<std::vector<Item>> blocks;
    } cases[] = {
        {true, English(), {kWin95Processes}}, {false, English(), nt}, {false, kNoTexts, nt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.win95) + std::to_string(c.texts.size()));
        Bytes b(GetProcessInfoFields(c.win95, Strings(c.texts)));
        uint32_t at = 0, group = 1;
        for (const auto& columns : c.blocks) {
            uint32_t n = 0;
            EXPECT_EQ(b.Text(at + 20, &n), std::to_string(group));
            EXPECT_EQ(n, 1u);
            EXPECT_EQ(b.U32(at), 21 + n); // header length
            EXPECT_EQ(b.U32(at + 4), columns.size());
            EXPECT_EQ(b.U32(at + 8), group == 1 ? 1u : 0u);  // key_field
            EXPECT_EQ(b.U32(at + 12), group == 1 ? 1u : 0u); // monitored
            EXPECT_EQ(b.U32(at + 16), c.win95 ? n + 1 : n);  // name length
            at = CheckItems(b, at + 21 + n, columns, c.texts);
            ++group;
        }
        EXPECT_EQ(at, b.size);
    }
}

TEST(InfoFieldsTest, TitlesAreCutAt255CharactersAndConverted) {
    auto m = English();
    m[102] = std::string(300, 'x');
    m[101] = "Proze\xDF-ID"; // U+00DF takes two bytes in compressed unicode
    Bytes b(GetProcessInfoFields(true, Strings(m)));
    EXPECT_EQ(b.U32(22), 17u + 255);
    const uint32_t second = 22 + 17 + 255;
    uint32_t t = 0;
    EXPECT_EQ(b.Text(second + 16, &t), "Proze\xDF-ID");
    EXPECT_EQ(t, 10u); // nine characters, ten bytes
    EXPECT_EQ(b.U32(second), 17u + 10);
}

// A header (its size 8, the count), then signal id, tab and name of each signal.
TEST(KillSignalsTest, NtModeOffersSevenSignalsWindows95CloseApplicationOnly) {
    const struct {
        bool win95;
        std::vector<Item> signals;
    } cases[] = {{true, {{5, 1, 205}}},
                 {false,
                  {{5, 1, 205},
                   {6, 2, 210},
                   {7, 2, 211},
                   {9, 2, 212},
                   {8, 2, 213},
                   {9, 3, 212},
                   {8, 3, 213}}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.win95);
        Bytes b(GetProcessKillSignals(c.win95, Strings(English())));
        EXPECT_EQ(b.U32(0), 8u);
        EXPECT_EQ(b.U32(4), c.signals.size());
        EXPECT_EQ(CheckItems(b, 8, c.signals, English()), b.size);
    }
}

// ---- string enumerations --------------------------------------------------------------------

// The count of enumerations; each one's id, count and indexed texts (length with the zero
// byte); then one zero byte reserved per string.
TEST(StringEnumerationsTest, PrioritiesAndInNtModeTheServiceStates) {
    struct Enumeration {
        uint16_t id;
        unsigned first;
        uint16_t count;
    };
    const std::vector<Enumeration> nt = {{1, 400, 9}, {2, 510, 7}};
    const struct {
        bool win95;
        const Texts& texts;
        std::vector<Enumeration> enums;
    } cases[] = {{true, English(), {{1, 400, 9}}}, {false, English(), nt}, {false, kNoTexts, nt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.win95) + std::to_string(c.texts.size()));
        Bytes b(GetStringEnumerations(c.win95, Strings(c.texts)));
        EXPECT_EQ(b.U16(0), c.enums.size());
        uint32_t at = 2, strings = 0;
        for (const auto& e : c.enums) {
            EXPECT_EQ(b.U16(at), e.id);
            EXPECT_EQ(b.U16(at + 2), e.count);
            at += 4;
            for (uint16_t i = 1; i <= e.count; ++i) {
                uint32_t t = 0;
                EXPECT_EQ(b.U16(at), i);
                EXPECT_EQ(b.Text(at + 4, &t), Text(c.texts, e.first + i - 1));
                EXPECT_EQ(b.U16(at + 2), t + 1);
                at += 4 + t + 1;
            }
            strings += e.count;
        }
        ASSERT_EQ(at + strings, b.size);
        for (uint32_t i = at; i < b.size; ++i)
            EXPECT_EQ(b.data[i], 0) << i;
    }
}

// ---- Get Configuration ----------------------------------------------------------------------

// The four records in order, then the language code in compressed unicode with its zero
// ('e' 0x65 -> 0x65, 'n' 0x6E -> 0x6B).
TEST(ProcessBaseInfoTest, FiveItemsInOrder) {
    const struct {
        bool win95;
        OsVersion os;
        const char* code;
        std::vector<uint8_t> code_bytes;
    } cases[] = {{false, {5, 0, 2}, "en", {0x65, 0x6B, 0}}, {true, {4, 10, 1}, "zhTW", {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        auto items = GetProcessBaseInfo(c.win95, c.os, Strings(English()), c.code);
        ASSERT_EQ(items.size(), 5u);
        Record parts[] = {GetProcessManagerInfo(c.win95, c.os),
                          GetProcessInfoFields(c.win95, Strings(English())),
                          GetProcessKillSignals(c.win95, Strings(English())),
                          GetStringEnumerations(c.win95, Strings(English()))};
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(Bytes(std::move(items[i])).All(), Bytes(std::move(parts[i])).All()) << i;
        Bytes code(std::move(items[4]));
        EXPECT_EQ(code.size, std::strlen(c.code) + 1);
        EXPECT_EQ(code.Text(0), c.code);
        if (!c.code_bytes.empty()) {
            EXPECT_EQ(code.All(), c.code_bytes);
        }
    }
}

} // namespace
} // namespace pm::baseinfo
