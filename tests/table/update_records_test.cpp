#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "procman/w32/table/update_records.h"

namespace pm::table {
namespace {

std::vector<uint8_t> Take(const Record& r) {
    EXPECT_TRUE(r.valid());
    return std::vector<uint8_t>(r.data(), r.data() + r.size());
}

TEST(UpdateRecordsTest, RecordOwnsItsBytesUntilReleased) {
    Record r = Record::Zeroed(5);
    ASSERT_TRUE(r.valid());
    EXPECT_EQ(r.size(), 5u);
    EXPECT_EQ(std::vector<uint8_t>(r.data(), r.data() + 5), std::vector<uint8_t>(5, 0));
    Record moved = std::move(r);
    EXPECT_FALSE(r.valid());
    EXPECT_EQ(r.size(), 0u);
    EXPECT_EQ(moved.size(), 5u);
    uint8_t* bytes = moved.release(); // the new owner frees them (ASan finds a double free)
    EXPECT_FALSE(moved.valid());
    EXPECT_EQ(moved.size(), 0u);
    std::free(bytes);
    Record empty = Record::Zeroed(0); // a block of its own even when empty
    EXPECT_TRUE(empty.valid());
    EXPECT_EQ(empty.size(), 0u);
}

TEST(UpdateRecordsTest, PriorityMapping) {
    const std::vector<std::pair<uint32_t, uint32_t>> cases = {
        {0, 1}, {4, 1}, {5, 4}, {9, 4}, {10, 6}, {13, 6}, {14, 8}, {24, 8}, {31, 8}};
    for (auto [base, index] : cases)
        EXPECT_EQ(PriorityIndex(base), index) << base;
}

TEST(UpdateRecordsTest, NtProcessRecordByteForByte) {
    ProcessRecordFields f;
    f.process_id = 0x01020304;
    f.thread_count = 7;
    f.base_priority = 13;
    f.working_set = 0xA0B0C0D0;
    f.name = "ab";
    f.user_name = "xy";
    auto rec = Take(BuildProcessUpdateRecord(f, false));
    const std::vector<uint8_t> expected = {
        0x01, 0x00,                                           // rec_type 1
        0x04, 0x03, 0x02, 0x01,                               // proc_id
        0x01, 0x00, 0x00, 0x00,                               // group_id 1
        0x07, 0x00,                                           // num_attribs 7
        0x0E, 0x00,                                           // first attribute at 14
        0x09, 0x00, 0x02, 0,    0, 0, 'a',  'b',  0,          // 2: name, length 2 + 7
        0x0A, 0x00, 0x01, 0,    0, 0, 0x04, 0x03, 0x02, 0x01, // 1: process id
        0x09, 0x00, 0x08, 0,    0, 0, 'x',  'y',  0,          // 8: user name
        0x0A, 0x00, 0x04, 0,    0, 0, 7,    0,    0,    0,    // 4: threads
        0x0A, 0x00, 0x09, 0,    0, 0, 6,    0,    0,    0,    // 9: priority 13 -> index 6
        0x0A, 0x00, 0x10, 0,    0, 0, 0,    0,    0,    0,    // 16: monitored
        0x0A, 0x00, 0x11, 0,    0, 0, 0xD0, 0xC0, 0xB0, 0xA0, // 17: working set
    };
    EXPECT_EQ(rec.size(), 82u); // 78 + 2 + 2
    EXPECT_EQ(rec, expected);
}

TEST(UpdateRecordsTest, EmptyUserNameStillHasItsAttribute) {
    ProcessRecordFields f;
    f.name = "ab";
    auto rec = Take(BuildProcessUpdateRecord(f, false));
    ASSERT_EQ(rec.size(), 80u);
    // name (9 bytes at 14), id (10 at 23), user at 33: length 7, field 8, one zero byte.
    EXPECT_EQ(std::vector<uint8_t>(rec.begin() + 33, rec.begin() + 40),
              (std::vector<uint8_t>{7, 0, 8, 0, 0, 0, 0}));
}

TEST(UpdateRecordsTest, Win95ProcessRecord) {
    ProcessRecordFields f;
    f.process_id = 9;
    f.parent_process_id = 0x11223344;
    f.thread_count = 2;
    f.base_priority = 8;
    f.name = "ab";
    auto rec = Take(BuildProcessUpdateRecord(f, true));
    ASSERT_EQ(rec.size(), 73u); // 71 + 2
    EXPECT_EQ(rec[10], 6);      // num_attribs
    // Third attribute (at 33): parent id, field 6.
    EXPECT_EQ(std::vector<uint8_t>(rec.begin() + 33, rec.begin() + 43),
              (std::vector<uint8_t>{10, 0, 6, 0, 0, 0, 0x44, 0x33, 0x22, 0x11}));
    // The last attribute is monitored (16); there is no memory attribute.
    EXPECT_EQ(rec[63 + 2], 16);
}

TEST(UpdateRecordsTest, ServiceRecordHasThirtyZeroBytesAfterItsAttributes) {
    auto rec = Take(BuildServiceUpdateRecord("ab", 4, 3));
    ASSERT_EQ(rec.size(), 63u);
    const std::vector<uint8_t> head = {
        1,  0,                              // rec_type
        0,  0, 0,  0,                       // proc_id 0 for a service
        3,  0, 0,  0,                       // group 3
        2,  0, 14, 0,                       // two attributes from offset 14
        9,  0, 2,  0, 0, 0, 'a', 'b', 0,    // display name
        10, 0, 15, 0, 0, 0, 4,   0,   0, 0, // state 4
    };
    EXPECT_EQ(std::vector<uint8_t>(rec.begin(), rec.begin() + 33), head);
    EXPECT_EQ(std::vector<uint8_t>(rec.begin() + 33, rec.end()), std::vector<uint8_t>(30, 0));
}

// The count field is 16 bits: a longer list is cut to what it can claim.
TEST(UpdateRecordsTest, ValidProcIds) {
    const uint32_t ids[] = {4, 0x12345678};
    EXPECT_EQ(Take(BuildValidProcIds(ids, 2)),
              (std::vector<uint8_t>{2, 0, 2, 0, 1, 0, 4, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(Take(BuildValidProcIds(nullptr, 0)), (std::vector<uint8_t>{2, 0, 0, 0, 1, 0}));
    std::vector<uint32_t> many(70000, 1);
    auto rec = Take(BuildValidProcIds(many.data(), uint32_t(many.size())));
    EXPECT_EQ(rec.size(), 6u + 4u * 65535u);
    EXPECT_EQ(rec[2] | rec[3] << 8, 65535);
}

} // namespace
} // namespace pm::table
