// The console's copy of the tables follows the agent's replies: records built by the agent's
// own table code are applied here, so both ends of the format are checked against each other.
#include <gtest/gtest.h>

#include "outside/console_model/console_tables.h"
#include "tests/console_model/agent_tables.h"

namespace pm::console {
namespace {

using test::Snapshot;
using test::Updates;
using test::Utf8;

TEST(ConsoleTablesTest, FollowsTheAgentThroughChanges) {
    table::ChangeTracker agent;
    ConsoleTables console(&Utf8);
    std::string error;

    agent.Renew(Snapshot(false, {{4, "a.exe"}, {8, "proc8.exe"}, {12, "c.exe"}},
                         {{"Spooler", 4}, {"Caf\xE9", 1}}));
    ASSERT_TRUE(console.Apply(Updates(agent, console.clock()), &error)) << error;
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
    agent.Renew(Snapshot(false, {{4, "a.exe"}, {12, "c.exe"}, {20, "d.exe"}},
                         {{"Spooler", 1}, {"Caf\xE9", 1}}));
    ASSERT_TRUE(console.Apply(Updates(agent, console.clock()), &error)) << error;
    procs = console.Processes();
    ASSERT_EQ(procs.size(), 3u);
    EXPECT_EQ(procs[2].process_id, 20u);
    EXPECT_EQ(console.Services(2)[0].state, 1u);

    // Nothing changes: only the clock comes back.
    agent.Renew(Snapshot(false, {{4, "a.exe"}, {12, "c.exe"}, {20, "d.exe"}},
                         {{"Spooler", 1}, {"Caf\xE9", 1}}));
    auto items = Updates(agent, console.clock());
    EXPECT_EQ(items.size(), 1u);
    ASSERT_TRUE(console.Apply(items, &error));
    EXPECT_EQ(console.changes_in_last_reply(), 0u);

    // Windows 95 records carry the parent, and neither user nor memory.
    table::ChangeTracker win95;
    win95.Renew(Snapshot(true, {{0xFFF1, "w.exe"}}));
    ConsoleTables other(&Utf8);
    ASSERT_TRUE(other.Apply(Updates(win95, 0), &error)) << error;
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
        ConsoleTables console(&Utf8);
        std::string error;
        EXPECT_FALSE(console.Apply(items, &error)) << what;
        EXPECT_FALSE(error.empty()) << what;
        EXPECT_EQ(console.clock(), 0u) << what; // the clock is kept for the next request
    }
}

} // namespace
} // namespace pm::console
