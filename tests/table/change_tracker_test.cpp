#include <gtest/gtest.h>

#include "procman/w32/table/change_tracker.h"
#include "shared/base/endian.h"
#include "tests/table/table_test_support.h"

namespace pm::table::test {
namespace {

TextString Stored(const char* ansi) {
    TextString s(ansi);
    s.ToCompressedUnicode();
    return s;
}

std::unique_ptr<RawTable> Table(std::vector<std::pair<uint32_t, uint16_t>> procs,
                                std::vector<std::pair<const char*, uint16_t>> services = {}) {
    auto t = std::make_unique<RawTable>(false);
    for (auto [pid, threads] : procs) {
        ProcessEntry e;
        e.process_id = pid;
        e.thread_count = threads;
        e.name = Stored(("p" + std::to_string(pid)).c_str());
        t->MutableProcesses().push_back(std::move(e));
    }
    for (auto [name, state] : services)
        t->MutableServices(2).push_back(ServiceEntry{Stored(name), state, 2});
    return t;
}

struct Reply {
    uint32_t clock = 0;
    std::vector<uint32_t> valid_ids; // empty: no ProcMgrValidProcIDs
    bool has_valid = false;
    std::vector<uint32_t> record_pids;   // proc_id of each update record
    std::vector<uint32_t> record_groups; // group_id of each update record
};

Reply Decode(std::vector<Record> items) {
    Reply r;
    EXPECT_FALSE(items.empty());
    EXPECT_EQ(items[0].size(), 4u);
    r.clock = le::Load32(items[0].data());
    for (size_t i = 1; i < items.size(); ++i) {
        const uint8_t* d = items[i].data();
        if (d[0] == 2) {
            r.has_valid = true;
            uint32_t n = d[2] | d[3] << 8;
            EXPECT_EQ(items[i].size(), 6 + 4 * n);
            for (uint32_t k = 0; k < n; ++k)
                r.valid_ids.push_back(le::Load32(d + 6 + 4 * k));
        } else {
            r.record_pids.push_back(le::Load32(d + 2));
            r.record_groups.push_back(le::Load32(d + 6));
        }
    }
    return r;
}

// The first snapshot stamps everything 1; the same again changes nothing. (One process ending
// and one starting is answered through the process list's test.)
TEST(ChangeTrackerTest, FirstSnapshotThenNoChange) {
    ChangeTracker c;
    c.Renew(Table({{4, 1}, {8, 2}, {12, 1}}, {{"a", 4}, {"b", 1}}));
    EXPECT_EQ(c.Clock(), 1u);
    EXPECT_EQ(c.ProcessStamps(), (std::vector<uint32_t>{1, 1, 1}));
    EXPECT_EQ(c.GroupStamps(2), (std::vector<uint32_t>{1, 1}));
    Reply r = Decode(c.CollectUpdates(0));
    EXPECT_EQ(r.clock, 1u);
    EXPECT_FALSE(r.has_valid); // removal stamp 0 is not newer than 0
    EXPECT_EQ(r.record_pids, (std::vector<uint32_t>{4, 8, 12, 0, 0}));
    EXPECT_EQ(r.record_groups, (std::vector<uint32_t>{1, 1, 1, 2, 2}));

    c.Renew(Table({{4, 1}, {8, 2}, {12, 1}}, {{"a", 4}, {"b", 1}}));
    r = Decode(c.CollectUpdates(c.Clock()));
    EXPECT_EQ(r.clock, 1u);
    EXPECT_FALSE(r.has_valid);
    EXPECT_TRUE(r.record_pids.empty());
}

TEST(ChangeTrackerTest, EveryChangeGetsItsOwnClockValueInOrder) {
    ChangeTracker c;
    c.Renew(Table({{4, 1}, {8, 1}}, {{"a", 4}, {"b", 4}}));
    c.Renew(Table({{8, 2}, {4, 1}, {9, 1}}, {{"b", 7}, {"new", 1}, {"a", 4}}));
    EXPECT_EQ(c.ProcessStamps(), (std::vector<uint32_t>{2, 1, 3}));
    EXPECT_EQ(c.GroupStamps(2), (std::vector<uint32_t>{4, 5, 1}));
    EXPECT_EQ(c.Clock(), 5u);
    EXPECT_EQ(c.RemovalStamp(), 0u);
    // A console at clock 3 sees the two service changes only.
    Reply r = Decode(c.CollectUpdates(3));
    EXPECT_EQ(r.record_groups, (std::vector<uint32_t>{2, 2}));
    // Vanished services change no stamp.
    c.Renew(Table({{8, 2}, {4, 1}, {9, 1}}, {{"a", 4}}));
    EXPECT_EQ(c.Clock(), 5u);
    EXPECT_EQ(c.GroupStamps(2), (std::vector<uint32_t>{1}));
}

TEST(ChangeTrackerTest, StampsCompareAcrossTheWrap) {
    EXPECT_TRUE(ChangeTracker::Newer(1, 0xFFFFFFFFu));
    EXPECT_FALSE(ChangeTracker::Newer(0xFFFFFFFFu, 1));
    EXPECT_FALSE(ChangeTracker::Newer(7, 7));
    EXPECT_TRUE(ChangeTracker::Newer(0x80000000u, 1));
    EXPECT_FALSE(ChangeTracker::Newer(0x80000001u, 1)); // more than half the range behind
}

TEST(ChangeTrackerTest, DuplicateIdsMatchTheFirstOldProcess) {
    ChangeTracker c;
    c.Renew(Table({{4, 1}, {4, 2}}));
    c.Renew(Table({{4, 2}}));
    // The new process matches the old one at index 0 (threads 1): changed; the second old
    // one was never matched, so processes count as removed.
    EXPECT_EQ(c.ProcessStamps(), (std::vector<uint32_t>{2}));
    EXPECT_EQ(c.RemovalStamp(), 3u);
}

} // namespace
} // namespace pm::table::test
