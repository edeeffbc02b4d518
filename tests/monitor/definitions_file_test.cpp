#include <gtest/gtest.h>

#include "shared/monitor/definitions_file.h"
#include "plugin_fixture.h"

namespace pm::monitor {
namespace {

using test::Cat;

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

ParsedDefinitions Parse(const std::vector<uint8_t>& bytes) {
    // A copy of exactly the file's size, so that ASan sees any read past it.
    auto* copy = new uint8_t[bytes.size() + 1];
    std::copy(bytes.begin(), bytes.end(), copy);
    ParsedDefinitions p = ParseDefinitions(copy, bytes.size());
    delete[] copy;
    return p;
}

std::vector<uint8_t> WithByte(std::vector<uint8_t> entry, size_t at, uint8_t value) {
    entry[at] = value;
    return entry;
}

// A file keeps the entries before a fault, and says where it stopped.
TEST(DefinitionsFile, KeepsTheEntriesBeforeTheFault) {
    const std::vector<uint8_t> calc(kCalcEntry.begin(), kCalcEntry.begin() + 25);
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
        size_t entries;
        LoadStop stop;
    } cases[] = {
        {"only the magic", kMagic, 0, LoadStop::kEnd},
        {"one entry", Cat({kMagic, kCalcEntry}), 1, LoadStop::kEnd},
        {"empty file", {}, 0, LoadStop::kNoMagic},
        {"three bytes", {0x22, 0x45, 0x32}, 0, LoadStop::kNoMagic},
        {"other magic", Cat({{0x22, 0x45, 0x32, 0x12}, kCalcEntry}), 0, LoadStop::kNoMagic},
        {"owner cut short",
         Cat({kMagic, kCalcEntry, std::vector<uint8_t>(kCalcEntry.begin(), kCalcEntry.end() - 3)}),
         1, LoadStop::kCut},
        {"record cut short",
         Cat({kMagic, kCalcEntry, {kCalcEntry.begin(), kCalcEntry.begin() + 20}}), 1,
         LoadStop::kCut},
        {"one stray byte", Cat({kMagic, kCalcEntry, {0x19}}), 1, LoadStop::kCut},
        {"zero length", Cat({kMagic, kCalcEntry, WithByte(kCalcEntry, 0, 0), kCalcEntry}), 1,
         LoadStop::kBadRecord},
        {"length below the header",
         Cat({kMagic, kCalcEntry, WithByte(kCalcEntry, 0, 11), kCalcEntry}), 1,
         LoadStop::kBadRecord},
        {"name offset past 16", Cat({kMagic, kCalcEntry, WithByte(kCalcEntry, 6, 17), kCalcEntry}),
         1, LoadStop::kBadRecord},
        {"name offset inside the header", Cat({kMagic, WithByte(kCalcEntry, 6, 4), kCalcEntry}), 0,
         LoadStop::kBadRecord},
        {"name without its NUL",
         Cat({kMagic, kCalcEntry, WithByte(kCalcEntry, 24, 'X'), kCalcEntry}), 1,
         LoadStop::kBadRecord},
        {"length leaves no room for the name",
         Cat({kMagic, kCalcEntry, WithByte(kCalcEntry, 0, 16), kCalcEntry}), 1,
         LoadStop::kBadRecord},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ParsedDefinitions p = Parse(c.bytes);
        ASSERT_EQ(p.entries.size(), c.entries);
        EXPECT_EQ(p.stop, c.stop);
        for (const DefinitionEntry& e : p.entries) { // the entry's fields and owner
            EXPECT_EQ(e.record, calc);
            EXPECT_EQ(e.owner, (OwnerId{1, 2, 3, 4, 5, 6, 7, 8}));
        }
    }
}

// The records' bytes spelled out: where MakeRecord's field offsets are pinned (the other tests
// build and read records through the same offsets, so a wrong one would pass them).
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
