// The process list's Get Updates on Active Processes over scripted snapshots.
#include <gtest/gtest.h>

#include <deque>
#include <tuple>

#include "procman/w32/process_list/process_list.h"
#include "shared/base/endian.h"
#include "tests/node/fake_platform.h"

namespace pm::test {
namespace {

using table::ProcessEntry;
using table::RawTable;

class ProcessListTest : public ::testing::Test {
protected:
    int lock_depth = 0;
    std::deque<std::vector<uint32_t>> snapshots; // process ids of each coming snapshot
    int perf_enabled = 1;
    int taken = 0;
    ProcessList list{std::make_unique<FakeMutex>(lock_depth),
                     [this] {
                         auto t = std::make_unique<RawTable>(false);
                         std::vector<uint32_t> ids = snapshots.empty() ? last : snapshots.front();
                         if (!snapshots.empty()) snapshots.pop_front();
                         last = ids;
                         for (uint32_t id : ids) {
                             ProcessEntry e;
                             e.process_id = id;
                             e.name = "p";
                             t->MutableProcesses().push_back(std::move(e));
                         }
                         ++taken;
                         return t;
                     },
                     [this] { return perf_enabled; }};
    std::vector<uint32_t> last;

    static std::unique_ptr<Command> Request(std::vector<std::vector<uint8_t>> params) {
        auto c = std::make_unique<Command>(0x73124533);
        for (auto& p : params)
            c->AddParam(p.data(), uint32_t(p.size()));
        return c;
    }
    static std::vector<uint8_t> U32(uint32_t v) {
        return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    }
};

TEST_F(ProcessListTest, EndedAndStartedProcess) {
    snapshots = {{4, 8}, {4, 12}};
    list.CheckForUpdates();
    auto cp = Request({U32(1)});
    Command& c = *cp;
    list.GetProcessUpdates(c);
    ASSERT_EQ(c.GetResultCount(), 3u);
    EXPECT_EQ(le::Load32(c.GetResult(0)), 3u); // c + 2
    ASSERT_EQ(c.GetResultSize(1), 6u + 8u);
    EXPECT_EQ(c.GetResult(1)[0], 2); // ProcMgrValidProcIDs
    EXPECT_EQ(le::Load32(c.GetResult(1) + 6), 4u);
    EXPECT_EQ(le::Load32(c.GetResult(1) + 10), 12u);
    EXPECT_EQ(le::Load32(c.GetResult(2) + 2), 12u); // the new process's record
    EXPECT_EQ(lock_depth, 0);                       // every lock released
}

TEST_F(ProcessListTest, ParameterForms) {
    struct Case {
        const char* what;
        std::vector<std::vector<uint8_t>> params;
        int perf;
        int32_t status;
        size_t items;
    };
    const Case cases[] = {
        {"no parameter", {}, 1, 1, 0},
        {"short since", {{1, 2, 3}}, 1, 1, 0},
        {"since only", {U32(0)}, 1, 0, 2},
        {"version and since", {U32(0x10000), U32(0)}, 0, 0, 2},
        {"newer console, counters off",
         {U32(0x10001), U32(0)},
         0,
         static_cast<int32_t>(0xDA000E01u),
         2},
        {"newer console, counters on", {U32(0x20000), U32(0)}, 1, 0, 2},
        {"short since after version", {U32(0x10001), {9}}, 1, 1, 0},
    };
    for (const auto& c : cases) {
        snapshots = {{4}};
        perf_enabled = c.perf;
        auto cmdp = Request(c.params);
        Command& cmd = *cmdp;
        int before = taken;
        list.GetProcessUpdates(cmd);
        EXPECT_EQ(cmd.status, c.status) << c.what;
        if (c.items) {
            EXPECT_GE(cmd.GetResultCount(), 1u) << c.what;
            EXPECT_EQ(taken, before + 1) << c.what;
        } else {
            EXPECT_EQ(cmd.GetResultCount(), 0u) << c.what;
            EXPECT_EQ(taken, before) << c.what; // no snapshot for a bad request
        }
    }
}

TEST_F(ProcessListTest, SignalTakesExactlyThreeParametersAndRefreshesOnSuccess) {
    snapshots = {{4, 8}};
    list.CheckForUpdates();
    std::vector<std::tuple<uint32_t, uint32_t, std::vector<uint8_t>, size_t>> calls;
    uint32_t answer = 0;
    list.SetSignaller([&](const table::RawTable& t, uint32_t tab, uint32_t signal,
                          const uint8_t* data, uint32_t size) {
        calls.emplace_back(tab, signal, std::vector<uint8_t>(data, data + size),
                           t.Processes().size());
        return answer;
    });
    struct Case {
        const char* what;
        std::vector<std::vector<uint8_t>> params;
        uint32_t answer;
        int32_t status;
        bool called, refreshed;
    };
    const Case cases[] = {
        {"two parameters", {U32(1), U32(5)}, 0, 1, false, false},
        {"four parameters", {U32(1), U32(5), U32(8), U32(0)}, 0, 1, false, false},
        {"short tab", {{1}, U32(5), U32(8)}, 0, 1, false, false},
        {"done", {U32(1), U32(5), U32(8)}, 0, 0, true, true},
        {"refused",
         {U32(1), U32(5), U32(99)},
         0xDA000005u,
         static_cast<int32_t>(0xDA000005u),
         true,
         false},
    };
    for (const auto& c : cases) {
        calls.clear();
        answer = c.answer;
        int before = taken;
        auto cmdp = Request(c.params);
        list.KillProcess(*cmdp);
        EXPECT_EQ(cmdp->status, c.status) << c.what;
        EXPECT_EQ(calls.size(), c.called ? 1u : 0u) << c.what;
        EXPECT_EQ(taken, before + (c.refreshed ? 1 : 0)) << c.what;
        if (c.called && !calls.empty()) {
            EXPECT_EQ(std::get<0>(calls[0]), 1u);
            EXPECT_EQ(std::get<2>(calls[0]), c.params[2]); // the data as sent
            EXPECT_EQ(std::get<3>(calls[0]), 2u);          // against the current snapshot
        }
        EXPECT_EQ(lock_depth, 0) << c.what;
    }
}

// Without a source the answer fails; with one its records are taken over, unless one of them
// could not be built (then none, the others freed: ASan).
TEST_F(ProcessListTest, ConfigurationItemsAreTakenOverWhole) {
    auto none = Request({});
    list.GetProcessBaseInfo(*none);
    EXPECT_EQ(none->status, 1);
    for (bool middle_failed : {false, true}) {
        list.SetBaseInfoSource([middle_failed] {
            std::vector<table::Record> items(3);
            items[0] = table::Record::Zeroed(16);
            if (!middle_failed) items[1] = table::Record::Zeroed(5);
            items[2] = table::Record::Zeroed(3);
            return items;
        });
        auto c = Request({});
        list.GetProcessBaseInfo(*c);
        EXPECT_EQ(c->status, middle_failed ? kStatusReplyNotCopied : 0);
        ASSERT_EQ(c->GetResultCount(), middle_failed ? 0u : 3u);
        for (uint32_t i = 0; i < c->GetResultCount(); ++i)
            EXPECT_EQ(c->GetResultSize(i), (std::vector<uint32_t>{16, 5, 3}[i]));
    }
}

} // namespace
} // namespace pm::test
