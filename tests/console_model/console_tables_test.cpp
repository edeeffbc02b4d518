// The console's copy of the tables follows the agent's replies: records built by the agent's
// own table code are applied here, so both ends of the format are checked against each other.
#include <gtest/gtest.h>

#include <cstdlib>

#include "outside/console_model/console_tables.h"
#include "procman/w32/table/change_tracker.h"
#include "shared/text/text_string.h"

namespace pm::console {
namespace {

std::string Decode(const std::string& compressed) {
    TextString s(compressed.c_str());
    s.CompressedToUtf8();
    return s.CStr();
}

TextString Stored(const char* ansi) {
    TextString s(ansi);
    s.ToCompressedUnicode();
    return s;
}

std::unique_ptr<table::RawTable> Snapshot(bool win95, std::vector<uint32_t> pids,
                                          std::vector<std::pair<const char*, uint16_t>> svcs = {}) {
    auto t = std::make_unique<table::RawTable>(win95);
    for (uint32_t pid : pids) {
        table::ProcessEntry e;
        e.process_id = pid;
        e.parent_process_id = win95 ? 1 : 0;
        e.thread_count = uint16_t(pid % 7 + 1);
        e.base_priority = 8;
        e.working_set = pid * 4096;
        e.name = Stored(("proc" + std::to_string(pid) + ".exe").c_str());
        e.user_name = Stored(win95 ? "" : "SYSTEM");
        t->MutableProcesses().push_back(std::move(e));
    }
    for (auto [name, state] : svcs)
        t->MutableServices(2).push_back(table::ServiceEntry{Stored(name), state, 2});
    return t;
}

std::vector<std::vector<uint8_t>> Reply(const table::ChangeTracker& tracker, uint32_t since) {
    std::vector<table::Record> records = tracker.CollectUpdates(since);
    std::vector<std::vector<uint8_t>> items;
    for (auto& r : records)
        items.emplace_back(r.data(), r.data() + r.size());
    return items;
}

TEST(ConsoleTablesTest, FollowsTheAgentThroughChanges) {
    table::ChangeTracker agent;
    ConsoleTables console(&Decode);
    std::string error;

    agent.Renew(Snapshot(false, {4, 8, 12}, {{"Spooler", 4}, {"Caf\xE9", 1}}));
    ASSERT_TRUE(console.Apply(Reply(agent, console.clock()), &error)) << error;
    EXPECT_EQ(console.clock(), 1u);
    auto procs = console.Processes();
    ASSERT_EQ(procs.size(), 3u);
    EXPECT_EQ(procs[1].process_id, 8u);
    EXPECT_EQ(procs[1].name, "proc8.exe");
    EXPECT_EQ(procs[1].user, "SYSTEM");
    EXPECT_TRUE(procs[1].has_memory);
    EXPECT_EQ(procs[1].memory, 8u * 4096);
    EXPECT_EQ(procs[1].priority, 4u);
    auto svcs = console.Services(2);
    ASSERT_EQ(svcs.size(), 2u);
    EXPECT_EQ(svcs[1].name, "Caf\xC3\xA9"); // é travels as compressed unicode, shown as UTF-8

    // 8 ends, 20 starts, the spooler stops.
    agent.Renew(Snapshot(false, {4, 12, 20}, {{"Spooler", 1}, {"Caf\xE9", 1}}));
    ASSERT_TRUE(console.Apply(Reply(agent, console.clock()), &error)) << error;
    procs = console.Processes();
    ASSERT_EQ(procs.size(), 3u);
    EXPECT_EQ(procs[2].process_id, 20u);
    EXPECT_EQ(console.Services(2)[0].state, 1u);

    // Nothing changes: only the clock comes back.
    agent.Renew(Snapshot(false, {4, 12, 20}, {{"Spooler", 1}, {"Caf\xE9", 1}}));
    auto items = Reply(agent, console.clock());
    EXPECT_EQ(items.size(), 1u);
    ASSERT_TRUE(console.Apply(items, &error));
    EXPECT_EQ(console.changes_in_last_reply(), 0u);

    // Windows 95 records carry the parent, and neither user nor memory.
    table::ChangeTracker win95;
    win95.Renew(Snapshot(true, {0xFFF1}));
    ConsoleTables other(&Decode);
    ASSERT_TRUE(other.Apply(Reply(win95, 0), &error)) << error;
    procs = other.Processes();
    ASSERT_EQ(procs.size(), 1u);
    EXPECT_TRUE(procs[0].has_parent);
    EXPECT_FALSE(procs[0].has_user);
    EXPECT_FALSE(procs[0].has_memory);
    EXPECT_EQ(procs[0].parent_process_id, 1u);
}

TEST(ConsoleTablesTest, MalformedRepliesAreRefused) {
    const std::vector<std::pair<const char*, std::vector<std::vector<uint8_t>>>> cases = {
        {"no clock", {}},
        {"short clock", {{1, 0}}},
        {"short record", {{1, 0, 0, 0}, {1}}},
        {"unknown type", {{1, 0, 0, 0}, {9, 0}}},
        {"ids beyond the record", {{1, 0, 0, 0}, {2, 0, 5, 0, 1, 0, 4, 0, 0, 0}}},
        {"attribute past the end",
         {{1, 0, 0, 0}, {1, 0, 4, 0, 0, 0, 1, 0, 0, 0, 1, 0, 14, 0, 10, 0, 1, 0, 0, 0}}},
        {"zero-length attribute",
         {{1, 0, 0, 0}, {1, 0, 4, 0, 0, 0, 1, 0, 0, 0, 2, 0, 14, 0, 0, 0, 1, 0, 0, 0}}},
        {"text without terminator",
         {{1, 0, 0, 0}, {1, 0, 4, 0, 0, 0, 1, 0, 0, 0, 1, 0, 14, 0, 8, 0, 2, 0, 0, 0, 'a', 'b'}}},
        {"unknown group", {{1, 0, 0, 0}, {1, 0, 4, 0, 0, 0, 9, 0, 0, 0, 0, 0, 14, 0}}},
    };
    for (const auto& [what, items] : cases) {
        ConsoleTables console(&Decode);
        std::string error;
        EXPECT_FALSE(console.Apply(items, &error)) << what;
        EXPECT_FALSE(error.empty()) << what;
        EXPECT_EQ(console.clock(), 0u) << what; // the clock is kept for the next request
    }
}

} // namespace
} // namespace pm::console
