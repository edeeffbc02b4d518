// Execute Command as the process list receives it: the checks before the thread, the deferred
// reply, and a thread that cannot be created.
#include <gtest/gtest.h>

#include "procman/w32/process_list/process_list.h"
#include "tests/exec/fake_exec_platform.h"
#include "tests/node/fake_platform.h"

namespace pm::exec::test {
namespace {

// Each case: how many parameters, the command line, whether the thread can be created; then
// the status, whether the thread replies (deferred) and the snapshots of the table taken.
TEST(ExecDispatch, TheThreadOwnsAValidCommandAndASnapshotFollows) {
    struct Case {
        const char* what;
        int params;
        const char* line;
        bool thread;
        int status;
        bool deferred;
        int snapshots; // -1: not looked at
    } cases[] = {
        {"handed to the thread", 6, "cmd", true, 0, true, 1},
        {"thread not created", 6, "cmd", false, 255, false, -1},
        {"empty command line", 1, "", true, 1, false, 0},
        {"no command line", 0, "", true, 1, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int depth = 0, snapshots = 0;
        std::vector<Command*> started;
        ProcessList list{std::make_unique<pm::test::FakeMutex>(depth),
                         [&] {
                             ++snapshots;
                             return std::make_unique<table::RawTable>(false);
                         },
                         [] { return 1; }};
        list.SetExecThreadStarter([&](Command* cmd) {
            started.push_back(cmd);
            return c.thread;
        });
        Request q;
        q.line = c.line;
        q.params = c.params;
        std::unique_ptr<Command> cmd(q.Build());
        cmd->flags = 0;
        list.ExecuteCommand(*cmd);
        EXPECT_EQ(cmd->status, c.status);
        EXPECT_EQ((cmd->flags & Command::kFlagDeferredReply) != 0, c.deferred);
        EXPECT_EQ(started, c.line[0] ? std::vector<Command*>{cmd.get()} : std::vector<Command*>{});
        EXPECT_TRUE(c.snapshots < 0 || snapshots == c.snapshots) << snapshots;
        EXPECT_EQ(depth, 0);
    }
}

} // namespace
} // namespace pm::exec::test
