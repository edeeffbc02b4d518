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

StringSource Strings(const std::map<unsigned, std::string>& m = English()) {
    return [m](unsigned id) {
        auto it = m.find(id);
        return it != m.end() ? it->second : std::string();
    };
}

// A record and readers of its fields.
struct Bytes {
    explicit Bytes(Record r) : record(std::move(r)), size(record.size()), data(record.data()) {}
    uint32_t U32(uint32_t at) const {
        EXPECT_LE(at + 4, size);
        return data[at] | data[at + 1] << 8 | data[at + 2] << 16 | uint32_t(data[at + 3]) << 24;
    }
    uint32_t U16(uint32_t at) const {
        EXPECT_LE(at + 2, size);
        return data[at] | data[at + 1] << 8;
    }
    // The compressed-unicode text at `at`, back in ANSI; its stored length in *stored.
    std::string Text(uint32_t at, uint32_t* stored = nullptr) const {
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

uint32_t T(unsigned id) {
    return static_cast<uint32_t>(English().at(id).size()); // ASCII: one byte per character
}

// ---- ProcMgrManagerInfo ---------------------------------------------------------------------

TEST(ManagerInfoTest, ByModeAndVersion) {
    struct Case {
        bool win95;
        OsVersion os;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {false,
         {0x105, 0x201, 2},
         {
             0x00, 0x10, 0x01, 0x00, // version 0x00011000
             4,                      // os_type: NT family
             0x05,                   // low 8 bits of the major version
             0x01,                   // low 8 bits of the minor version
             0,                      // os_subversion
             0x1F, 0, 0, 0,          // flags
             3, 0, 0, 0,             // num_groups
         }},
        {true, {4, 10, 1}, {0x00, 0x10, 0x01, 0x00, 2, 4, 10, 0, 0x1D, 0, 0, 0, 1, 0, 0, 0}},
        // Wine: the toolhelp functions exist while the version query reports the NT family.
        {true, {6, 1, 2}, {0x00, 0x10, 0x01, 0x00, 4, 6, 1, 0, 0x1D, 0, 0, 0, 1, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        Bytes b(GetProcessManagerInfo(c.win95, c.os));
        EXPECT_EQ(std::vector<uint8_t>(b.data, b.data + b.size), c.bytes) << c.os.major;
    }
}

// ---- ProcMgrInfo1 ---------------------------------------------------------------------------

struct Column {
    uint32_t field_id;
    uint32_t data_type;
    unsigned title;
};

// Walks one block at `at`, checks it and answers the offset after it.
uint32_t CheckBlock(const Bytes& b, uint32_t at, uint32_t group, bool win95,
                    const std::vector<Column>& columns) {
    uint32_t n = 0;
    EXPECT_EQ(b.Text(at + 20, &n), std::to_string(group));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(b.U32(at), 21 + n); // header length
    EXPECT_EQ(b.U32(at + 4), columns.size());
    EXPECT_EQ(b.U32(at + 8), group == 1 ? 1u : 0u);  // key_field
    EXPECT_EQ(b.U32(at + 12), group == 1 ? 1u : 0u); // monitored
    EXPECT_EQ(b.U32(at + 16), win95 ? n + 1 : n);    // name length
    at += b.U32(at);
    for (const auto& c : columns) {
        uint32_t t = 0;
        EXPECT_EQ(b.Text(at + 16, &t), English().at(c.title));
        EXPECT_EQ(b.U32(at), 17 + t);
        EXPECT_EQ(b.U32(at + 4), 16u);
        EXPECT_EQ(b.U32(at + 8), c.field_id);
        EXPECT_EQ(b.U32(at + 12), c.data_type);
        at += b.U32(at);
    }
    return at;
}

const std::vector<Column> kWin95Processes = {{2, 0x00030000, 102}, {1, 0x00018001, 101},
                                             {6, 0x00018001, 104}, {4, 0x00010000, 106},
                                             {9, 0x00010013, 109}, {16, 0x00010FF3, 120}};
const std::vector<Column> kNtProcesses = {
    {2, 0x00030000, 102}, {1, 0x00018001, 101},  {8, 0x00030000, 108}, {4, 0x00010000, 106},
    {9, 0x00010013, 109}, {16, 0x00010FF3, 120}, {17, 0x00010004, 121}};
const std::vector<Column> kServices = {{2, 0x00030000, 102}, {15, 0x00010023, 116}};

TEST(InfoFieldsTest, Windows95ModeHasOneBlockOfSixRecords) {
    Bytes b(GetProcessInfoFields(true, Strings()));
    const uint32_t titles = T(102) + T(101) + T(104) + T(106) + T(109) + T(120);
    ASSERT_EQ(b.size, 123 + 1 + titles);
    EXPECT_EQ(CheckBlock(b, 0, 1, true, kWin95Processes), b.size);

    // Byte by byte: the header of group 1 and the first record.
    const uint8_t head[] = {
        22,   0, 0, 0, // header length 21 + 1
        6,    0, 0, 0, // six records
        1,    0, 0, 0, // key_field
        1,    0, 0, 0, // monitored
        2,    0, 0, 0, // name length counts the zero byte
        0x34, 0,       // "1" ('1' 0x31 swapped) and its zero
        29,   0, 0, 0, // 17 + 12: "Program Name"
        16,   0, 0, 0, // title offset
        2,    0, 0, 0, // field_id
        0,    0, 3, 0, // data_type 0x00030000
    };
    EXPECT_EQ(std::memcmp(b.data, head, sizeof head), 0);
}

TEST(InfoFieldsTest, NtModeHasThreeBlocks) {
    Bytes b(GetProcessInfoFields(false, Strings()));
    const uint32_t group1 = T(102) + T(101) + T(108) + T(106) + T(109) + T(120) + T(121);
    ASSERT_EQ(b.size, 250 + 3 + group1 + 2 * (T(102) + T(116)));
    uint32_t at = CheckBlock(b, 0, 1, false, kNtProcesses);
    at = CheckBlock(b, at, 2, false, kServices);
    at = CheckBlock(b, at, 3, false, kServices);
    EXPECT_EQ(at, b.size);
    EXPECT_EQ(b.U32(16), 1u); // name length without the zero byte
}

TEST(InfoFieldsTest, MissingTitlesAreSingleZeroBytes) {
    Bytes b(GetProcessInfoFields(false, Strings({})));
    ASSERT_EQ(b.size, 253u);
    uint32_t at = 0;
    for (int block = 0; block < 3; ++block) {
        const uint32_t records = b.U32(at + 4);
        at += b.U32(at);
        for (uint32_t r = 0; r < records; ++r) {
            EXPECT_EQ(b.U32(at), 17u);
            EXPECT_EQ(b.data[at + 16], 0);
            at += 17;
        }
    }
    EXPECT_EQ(at, b.size);
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

// ---- kill signals ---------------------------------------------------------------------------

TEST(KillSignalsTest, NtModeOffersSevenSignals) {
    Bytes b(GetProcessKillSignals(false, Strings()));
    struct Sig {
        uint32_t tab, id;
        unsigned name;
    };
    const Sig expected[] = {{1, 5, 205}, {2, 6, 210}, {2, 7, 211}, {2, 9, 212},
                            {2, 8, 213}, {3, 9, 212}, {3, 8, 213}};
    uint32_t size = 8;
    for (const auto& e : expected)
        size += 17 + T(e.name);
    ASSERT_EQ(b.size, size);
    EXPECT_EQ(b.U32(0), 8u);
    EXPECT_EQ(b.U32(4), 7u);
    uint32_t at = 8;
    for (const auto& e : expected) {
        uint32_t t = 0;
        EXPECT_EQ(b.Text(at + 16, &t), English().at(e.name));
        EXPECT_EQ(b.U32(at), 17 + t);
        EXPECT_EQ(b.U32(at + 4), 16u);
        EXPECT_EQ(b.U32(at + 8), e.id);
        EXPECT_EQ(b.U32(at + 12), e.tab);
        at += b.U32(at);
    }
    EXPECT_EQ(at, b.size);
}

TEST(KillSignalsTest, Windows95ModeOffersCloseApplicationOnly) {
    Bytes b(GetProcessKillSignals(true, Strings()));
    ASSERT_EQ(b.size, 8 + 17 + T(205));
    const uint8_t head[] = {8,  0, 0, 0, 1, 0, 0, 0, 34, 0, 0, 0,
                            16, 0, 0, 0, 5, 0, 0, 0, 1,  0, 0, 0};
    EXPECT_EQ(std::memcmp(b.data, head, sizeof head), 0);
    EXPECT_EQ(b.Text(24), "Close Application");
    EXPECT_EQ(b.data[b.size - 1], 0);
}

// ---- string enumerations --------------------------------------------------------------------

// Walks one enumeration at `at` and answers the offset after it.
uint32_t CheckEnumeration(const Bytes& b, uint32_t at, uint16_t id, unsigned first,
                          uint16_t count) {
    EXPECT_EQ(b.U16(at), id);
    EXPECT_EQ(b.U16(at + 2), count);
    at += 4;
    for (uint16_t i = 1; i <= count; ++i) {
        uint32_t t = 0;
        EXPECT_EQ(b.U16(at), i);
        EXPECT_EQ(b.Text(at + 4, &t), English().at(first + i - 1));
        EXPECT_EQ(b.U16(at + 2), t + 1);
        at += 4 + t + 1;
    }
    return at;
}

uint32_t Sum(unsigned first, unsigned count) {
    uint32_t s = 0;
    for (unsigned i = 0; i < count; ++i)
        s += T(first + i) + 6;
    return s;
}

TEST(StringEnumerationsTest, Windows95ModeHoldsThePriorities) {
    Bytes b(GetStringEnumerations(true, Strings()));
    ASSERT_EQ(b.size, 6 + Sum(400, 9));
    EXPECT_EQ(b.U16(0), 1u);
    const uint32_t end = CheckEnumeration(b, 2, 1, 400, 9);
    EXPECT_EQ(end, b.size - 9); // one byte per string reserved and zero
    for (uint32_t i = end; i < b.size; ++i)
        EXPECT_EQ(b.data[i], 0) << i;
    // One enumeration; id 1 with 9 strings; "Idle": index 1, length 5, the text.
    const uint8_t first[] = {1, 0, 1, 0, 9, 0, 1, 0, 5, 0};
    EXPECT_EQ(std::memcmp(b.data, first, sizeof first), 0);
}

TEST(StringEnumerationsTest, NtModeAddsTheServiceStates) {
    Bytes b(GetStringEnumerations(false, Strings()));
    ASSERT_EQ(b.size, 6 + Sum(400, 9) + 4 + Sum(510, 7));
    EXPECT_EQ(b.U16(0), 2u);
    uint32_t at = CheckEnumeration(b, 2, 1, 400, 9);
    at = CheckEnumeration(b, at, 2, 510, 7);
    EXPECT_EQ(at, b.size - 16);
    for (uint32_t i = at; i < b.size; ++i)
        EXPECT_EQ(b.data[i], 0) << i;
}

TEST(StringEnumerationsTest, MissingTextsKeepTheirZeroByte) {
    Bytes b(GetStringEnumerations(false, Strings({})));
    ASSERT_EQ(b.size, 6u + 9 * 6 + 4 + 7 * 6);
    EXPECT_EQ(b.U16(2 + 4 + 2), 1u); // length of "" with its zero byte
}

// ---- Get Configuration ----------------------------------------------------------------------

TEST(ProcessBaseInfoTest, FiveItemsInOrder) {
    auto items = GetProcessBaseInfo(false, OsVersion{5, 0, 2}, Strings(), "en");
    ASSERT_EQ(items.size(), 5u);
    Bytes info(std::move(items[0])), fields(std::move(items[1])), signals(std::move(items[2])),
        enums(std::move(items[3])), code(std::move(items[4]));
    EXPECT_EQ(info.size, 16u);
    EXPECT_EQ(info.U32(12), 3u);
    EXPECT_EQ(fields.U32(16), 1u);
    EXPECT_EQ(signals.U32(4), 7u);
    EXPECT_EQ(enums.U16(0), 2u);
    // "en" in compressed unicode ('e' 0x65 -> 0x65, 'n' 0x6E -> 0x6B) and its terminator.
    ASSERT_EQ(code.size, 3u);
    const uint8_t en[] = {0x65, 0x6B, 0};
    EXPECT_EQ(std::memcmp(code.data, en, 3), 0);
}

TEST(ProcessBaseInfoTest, Windows95ModeAndAFourCharacterCode) {
    auto items = GetProcessBaseInfo(true, OsVersion{4, 10, 1}, Strings(), "zhTW");
    ASSERT_EQ(items.size(), 5u);
    Bytes info(std::move(items[0])), fields(std::move(items[1])), signals(std::move(items[2])),
        enums(std::move(items[3])), code(std::move(items[4]));
    EXPECT_EQ(info.U32(8), 0x1Du);
    EXPECT_EQ(fields.U32(4), 6u);
    EXPECT_EQ(signals.U32(4), 1u);
    EXPECT_EQ(enums.U16(0), 1u);
    EXPECT_EQ(code.size, 5u);
    EXPECT_EQ(code.Text(0), "zhTW");
}

} // namespace
} // namespace pm::baseinfo
