#include <gtest/gtest.h>

#include <tuple>

#include "procman/w32/table/perf_data.h"
#include "tests/table/table_test_support.h"

namespace pm::table::test {
namespace {

TEST(PerfDataTest, CounterTitlesMatchIgnoringCaseStopAfterFiveAndReadSafely) {
    // Index 0 never matches; after five matches the last pair is not read.
    PerfCounterTable t;
    // clang-format off
    auto value = CountersValue({{"2", "System"}, {"0", "Process"}, {"230", "PROCESS"},
                                {"784", "id process"}, {"682", "Priority Base"},
                                {"680", "Thread Count"}, {"180", "Working Set"},
                                {"999", "Process"}});
    // clang-format on
    std::vector<int> rows;
    EXPECT_EQ(MatchCounterTitles(value.data(), value.size(), t, [&](int r) { rows.push_back(r); }),
              5);
    EXPECT_EQ(rows, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(t.rows[kRowProcess].title_index, 230u);
    EXPECT_EQ(t.rows[kRowIdProcess].title_index, 784u);
    EXPECT_EQ(t.rows[kRowWorkingSet].title_index, 180u);

    // A later pair with the same name stores again and counts; a missing one stays 0.
    PerfCounterTable again;
    value = CountersValue({{"230", "Process"}, {"231", "Process"}, {"784", "ID Process"}});
    EXPECT_EQ(MatchCounterTitles(value.data(), value.size(), again), 3);
    EXPECT_EQ(again.rows[kRowProcess].title_index, 231u);
    EXPECT_EQ(again.rows[kRowThreadCount].title_index, 0u);

    // Truncated data is read safely.
    value = StandardCounters();
    for (size_t cut = 0; cut <= value.size(); ++cut) {
        PerfCounterTable cut_table;
        MatchCounterTitles(value.data(), cut, cut_table);
    }
    EXPECT_EQ(MatchCounterTitles(nullptr, 0, again), 0);
}

PerfCounterTable ResolvedTitles() {
    PerfCounterTable t;
    auto value = StandardCounters();
    MatchCounterTitles(value.data(), value.size(), t);
    return t;
}

// Reads an exact-size copy of the block (the sanitizer catches a read past it).
struct Read {
    Read(std::vector<uint8_t> block, PerfCounterTable& t) {
        result = ReadPerfInstances(block.data(), block.size(), t, &announced, out);
    }
    PerfReadResult result;
    uint32_t announced = 0;
    std::vector<PerfInstance> out;
};

TEST(PerfDataTest, ReadsInstancesWithOffsetsResolvedOnce) {
    auto b = StandardBlock();
    b.instances = {Instance(u"Idle", 0, 1, 0, 0), Instance(u"smss", 4, 3, 11, 0x1'0000'2000ull),
                   Instance(u"_Total", 0, 90, 0, 12345)};
    PerfCounterTable t = ResolvedTitles();
    Read r(b.Build(), t);
    ASSERT_EQ(r.result, PerfReadResult::kOk);
    const auto& out = r.out;
    EXPECT_TRUE(t.offsets_resolved);
    EXPECT_EQ(t.rows[kRowIdProcess].offset, kIdAt);
    EXPECT_EQ(t.rows[kRowWorkingSet].offset, kWorkingSetAt);
    EXPECT_EQ(t.rows[kRowProcess].offset, 0u); // the object itself has no counter
    EXPECT_EQ(r.announced, 3u);
    ASSERT_EQ(out.size(), 3u);
    // The working set: the low 32 bits of the 64-bit counter.
    EXPECT_EQ(std::tie(out[1].name, out[1].id_process, out[1].thread_count, out[1].priority_base,
                       out[1].working_set),
              std::make_tuple(std::u16string(u"smss"), 4u, 3u, 11u, 0x2000u));
    EXPECT_EQ(out[2].name, u"_Total");

    // Offsets are kept from the first read: a later block with other offsets is read with them.
    auto moved = StandardBlock();
    moved.counters[4].offset = 32;
    moved.instances = {InstanceDef{u"x", {{32, 77}, {kIdAt, 99}}}};
    Read again(moved.Build(), t);
    ASSERT_EQ(again.out.size(), 1u);
    EXPECT_EQ(again.out[0].id_process, 99u);
}

TEST(PerfDataTest, CounterDefinitionsAndTheSignature) {
    auto b = StandardBlock();
    b.counters.erase(b.counters.begin() + 2); // no "Thread Count" definition
    b.instances = {InstanceDef{u"p", {{0, 48}, {kIdAt, 8}}}};
    PerfCounterTable t = ResolvedTitles();
    Read r(b.Build(), t);
    EXPECT_EQ(t.rows[kRowThreadCount].offset, 0u);
    ASSERT_EQ(r.out.size(), 1u);
    EXPECT_EQ(r.out[0].thread_count, 48u); // offset 0: the counter block's own length

    // Once every row has its definition, later ones are not looked at.
    auto all = StandardBlock();
    all.counters.push_back({kProcessIndex, 32, 4});
    all.counters.push_back({kIdProcessIndex, 36, 4});
    PerfCounterTable five = ResolvedTitles();
    Read(all.Build(), five);
    EXPECT_EQ(five.rows[kRowIdProcess].offset, kIdAt);

    // The signature: "PERF" and nothing else; a block of the signature alone holds nothing.
    PerfCounterTable fresh;
    EXPECT_EQ(Read({'P', 0, 'E', 0, 'R', 0, 'X', 0}, fresh).result, PerfReadResult::kCheckFailed);
    EXPECT_EQ(Read({'P', 0, 'E'}, fresh).result, PerfReadResult::kCheckFailed);
    Read empty_perf({'P', 0, 'E', 0, 'R', 0, 'F', 0}, fresh);
    EXPECT_EQ(empty_perf.result, PerfReadResult::kOk);
    EXPECT_TRUE(empty_perf.out.empty());
}

TEST(PerfDataTest, EveryTruncationKeepsOnlyWholeInstances) {
    auto b = StandardBlock();
    b.instances = {Instance(u"a", 1, 1, 8, 10), Instance(u"bb", 2, 2, 8, 20),
                   Instance(u"ccc", 3, 3, 8, 30)};
    auto block = b.Build();
    size_t previous = 0;
    for (size_t cut = 8; cut <= block.size(); ++cut) {
        PerfCounterTable t = ResolvedTitles();
        const auto out = Read({block.begin(), block.begin() + cut}, t).out;
        EXPECT_GE(out.size(), previous) << cut;
        previous = out.size();
        for (size_t i = 0; i < out.size(); ++i)
            EXPECT_EQ(out[i].id_process, i + 1) << cut;
    }
    EXPECT_EQ(previous, 3u);
}

TEST(PerfDataTest, LyingLengthsAndCountsStopTheWalk) {
    auto b = StandardBlock();
    b.instances = {Instance(u"a", 1, 1, 8, 10)};
    b.announced_instances = 1000000; // more than the block holds
    PerfCounterTable t = ResolvedTitles();
    Read lying(b.Build(), t);
    EXPECT_EQ(lying.announced, 1000000u);
    EXPECT_EQ(lying.out.size(), 1u);

    b.announced_instances = -1; // PERF_NO_INSTANCES
    Read none(b.Build(), t);
    EXPECT_EQ(none.announced, 0u);
    EXPECT_TRUE(none.out.empty());

    // A zero-length counter definition must not loop.
    auto z = StandardBlock();
    z.instances = {Instance(u"a", 1, 1, 8, 10)};
    auto zb = z.Build();
    PerfBlockBuilder::Put32(zb, 88 + 24 + 64, 0); // first definition's ByteLength (after the name)
    PerfCounterTable fresh = ResolvedTitles();
    Read(zb, fresh);
    EXPECT_TRUE(fresh.offsets_resolved);
}

// Lengths that, added to an offset in a 32-bit size_t, wrap round to a structure already
// visited. Read by the i686 build these blocks used to walk in a circle for billions of steps.
std::vector<uint8_t> BackwardsBlock(bool through_counters) {
    std::vector<uint8_t> blk(184, 0);
    const uint8_t perf[8] = {'P', 0, 'E', 0, 'R', 0, 'F', 0};
    std::copy(perf, perf + 8, blk.begin());
    PerfBlockBuilder::Put32(blk, 24, 88);     // HeaderLength: the object follows at 88
    PerfBlockBuilder::Put32(blk, 88 + 4, 72); // DefinitionLength: first instance at 160
    PerfBlockBuilder::Put32(blk, 88 + 8, 64); // HeaderLength: first counter definition at 152
    PerfBlockBuilder::Put32(blk, 88 + 40, 0x7FFFFFFF); // NumInstances
    if (through_counters) {
        PerfBlockBuilder::Put32(blk, 88 + 32, 0xFFFFFFFF); // NumCounters
        // Definition at 152 leads 40 bytes back (to 112), and the one at 112 leads to 152.
        PerfBlockBuilder::Put32(blk, 152, 0xFFFFFFD8);
        PerfBlockBuilder::Put32(blk, 152 + 4, 0xEEEE);
        PerfBlockBuilder::Put32(blk, 112, 40);
        PerfBlockBuilder::Put32(blk, 112 + 4, 0xEEEE);
    } else {
        // The instance at 160 puts its counter block 8 bytes before itself, and that block's
        // length of 8 leads back to the instance.
        PerfBlockBuilder::Put32(blk, 160, 0xFFFFFFF8);
        PerfBlockBuilder::Put32(blk, 152, 8);
    }
    return blk;
}

TEST(PerfDataTest, BackwardsOrTooShortLengthsEndTheWalk) {
    for (bool through_counters : {false, true}) {
        PerfCounterTable t = ResolvedTitles();
        Read r(BackwardsBlock(through_counters), t);
        EXPECT_EQ(r.result, PerfReadResult::kOk);
        EXPECT_TRUE(t.offsets_resolved) << through_counters;
        EXPECT_TRUE(r.out.empty()) << through_counters;
    }
    // A counter block of 0 to 3 bytes cannot even hold its own length: no instance (and no
    // phantom process with id 0) comes of it.
    for (uint32_t length = 0; length < 4; ++length) {
        auto b = StandardBlock();
        b.instances = {Instance(u"a", 1, 1, 8, 10)};
        b.counter_block_length = length;
        PerfCounterTable t = ResolvedTitles();
        EXPECT_TRUE(Read(b.Build(), t).out.empty()) << length;
    }
}

} // namespace
} // namespace pm::table::test
