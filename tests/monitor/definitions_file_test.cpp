#include <gtest/gtest.h>

#include "shared/monitor/definitions_file.h"

namespace pm::monitor {
namespace {

// One entry: record "CALC.EXE" with key 0x01020304, level 5, conditions RUNNING|TERMINATION,
// start time-out 60, spare bytes AA BB CC DD, then the owner id 1..8.
const std::vector<uint8_t> kCalcEntry = {
    0x19, 0x00,             // length 25 = 16 + "CALC.EXE" + NUL
    0x04, 0x03, 0x02, 0x01, // key
    0x10, 0x00,             // name_offset 16
    0x05,                   // alert_level
    0x03,                   // conditions
    0x3C, 0x00,             // start_timeout 60
    0xAA, 0xBB, 0xCC, 0xDD, // not interpreted
    'C',  'A',  'L',  'C',  '.', 'E', 'X', 'E', 0x00, 1, 2, 3, 4, 5, 6, 7, 8, // owner id
};
const std::vector<uint8_t> kMagic = {0x22, 0x45, 0x32, 0x11};

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

ParsedDefinitions Parse(const std::vector<uint8_t>& bytes) {
    // A copy of exactly the file's size, so that ASan sees any read past it.
    auto* copy = new uint8_t[bytes.size() + 1];
    std::copy(bytes.begin(), bytes.end(), copy);
    ParsedDefinitions p = ParseDefinitions(copy, bytes.size());
    delete[] copy;
    return p;
}

TEST(DefinitionsFile, OnlyTheMagicIsAValidEmptyFile) {
    ParsedDefinitions p = Parse(kMagic);
    EXPECT_TRUE(p.entries.empty());
    EXPECT_EQ(p.stop, LoadStop::kEnd);
}

TEST(DefinitionsFile, OneEntryReadsItsFieldsAndOwner) {
    ParsedDefinitions p = Parse(Cat({kMagic, kCalcEntry}));
    ASSERT_EQ(p.entries.size(), 1u);
    EXPECT_EQ(p.stop, LoadStop::kEnd);
    EXPECT_EQ(p.entries[0].record,
              std::vector<uint8_t>(kCalcEntry.begin(), kCalcEntry.begin() + 25));
    EXPECT_EQ(p.entries[0].owner, (OwnerId{1, 2, 3, 4, 5, 6, 7, 8}));
}

struct BadFile {
    const char* what;
    std::vector<uint8_t> bytes;
    size_t entries;
    LoadStop stop;
};

class DefinitionsFileStops : public ::testing::TestWithParam<BadFile> {};

TEST_P(DefinitionsFileStops, KeepsTheEntriesBeforeTheFault) {
    ParsedDefinitions p = Parse(GetParam().bytes);
    EXPECT_EQ(p.entries.size(), GetParam().entries) << GetParam().what;
    EXPECT_EQ(p.stop, GetParam().stop) << GetParam().what;
}

std::vector<uint8_t> WithByte(std::vector<uint8_t> entry, size_t at, uint8_t value) {
    entry[at] = value;
    return entry;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DefinitionsFileStops,
    ::testing::Values(
        BadFile{"empty file", {}, 0, LoadStop::kNoMagic},
        BadFile{"three bytes", {0x22, 0x45, 0x32}, 0, LoadStop::kNoMagic},
        BadFile{"other magic", Cat({{0x22, 0x45, 0x32, 0x12}, kCalcEntry}), 0, LoadStop::kNoMagic},
        BadFile{"owner cut short",
                Cat({kMagic, kCalcEntry,
                     std::vector<uint8_t>(kCalcEntry.begin(), kCalcEntry.end() - 3)}),
                1, LoadStop::kCut},
        BadFile{"record cut short",
                Cat({kMagic, kCalcEntry,
                     std::vector<uint8_t>(kCalcEntry.begin(), kCalcEntry.begin() + 20)}),
                1, LoadStop::kCut},
        BadFile{"one stray byte", Cat({kMagic, kCalcEntry, {0x19}}), 1, LoadStop::kCut},
        BadFile{"zero length", Cat({kMagic, kCalcEntry, WithByte(kCalcEntry, 0, 0), kCalcEntry}), 1,
                LoadStop::kBadRecord},
        BadFile{"length below the header",
                Cat({kMagic, kCalcEntry, WithByte(kCalcEntry, 0, 11), kCalcEntry}), 1,
                LoadStop::kBadRecord},
        BadFile{"name offset past 16",
                Cat({kMagic, kCalcEntry, WithByte(kCalcEntry, 6, 17), kCalcEntry}), 1,
                LoadStop::kBadRecord},
        BadFile{"name offset inside the header",
                Cat({kMagic, WithByte(kCalcEntry, 6, 4), kCalcEntry}), 0, LoadStop::kBadRecord},
        BadFile{"name without its NUL",
                Cat({kMagic, kCalcEntry, WithByte(kCalcEntry, 24, 'X'), kCalcEntry}), 1,
                LoadStop::kBadRecord},
        BadFile{"length leaves no room for the name",
                Cat({kMagic, kCalcEntry, WithByte(kCalcEntry, 0, 16), kCalcEntry}), 1,
                LoadStop::kBadRecord}));

TEST(DefinitionsFile, SerializeWritesMagicThenEachRecordAndOwnerInOrder) {
    DefinitionEntry a{MakeRecord(1, 0, kCondRunning, 0, "A.EXE"), OwnerId{}};
    DefinitionEntry b{MakeRecord(2, 9, kCondTermination, 7, "B.EXE"),
                      OwnerId{9, 9, 9, 9, 9, 9, 9, 9}};
    std::vector<uint8_t> bytes = SerializeDefinitions({&b, &a});
    const std::vector<uint8_t> expected = Cat({
        kMagic,
        {0x16, 0x00, 0x02, 0x00, 0x00, 0x00, 0x10, 0x00, 0x09, 0x01, 0x07,
         0x00, 0,    0,    0,    0,    'B',  '.',  'E',  'X',  'E',  0x00},
        {9, 9, 9, 9, 9, 9, 9, 9},
        {0x16, 0x00, 0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x02, 0x00,
         0x00, 0,    0,    0,    0,    'A',  '.',  'E',  'X',  'E',  0x00},
        {0, 0, 0, 0, 0, 0, 0, 0},
    });
    EXPECT_EQ(bytes, expected);
    ParsedDefinitions back = Parse(bytes);
    ASSERT_EQ(back.entries.size(), 2u);
    EXPECT_EQ(back.entries[0].record, b.record);
    EXPECT_EQ(back.entries[1].owner, a.owner);
}

} // namespace
} // namespace pm::monitor
