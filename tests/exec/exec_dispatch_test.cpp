// Execute Command as the process list receives it: the checks before the thread, the deferred
// reply, and a thread that cannot be created.
#include <gtest/gtest.h>

#include "procman/w32/process_list/process_list.h"
#include "tests/exec/exec_test_support.h"
#include "tests/node/fake_platform.h"

namespace pm::exec::test {
namespace {

class ExecDispatch : public ::testing::Test {
protected:
    int depth = 0;
    int snapshots = 0;
    ProcessList list{std::make_unique<pm::test::FakeMutex>(depth),
                     [this] {
                         ++snapshots;
                         return std::make_unique<table::RawTable>(false);
                     },
                     [] { return 1; }};
    std::vector<Command*> started;
};

TEST_F(ExecDispatch, TheThreadOwnsTheCommandAndASnapshotFollows) {
    list.SetExecThreadStarter([this](Command* c) {
        started.push_back(c);
        return true;
    });
    Request q;
    std::unique_ptr<Command> c(q.Build());
    c->flags = 0;
    list.ExecuteCommand(*c);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0], c.get());
    EXPECT_TRUE(c->flags & Command::kFlagDeferredReply);
    EXPECT_EQ(c->status, 0);
    EXPECT_EQ(snapshots, 1);
    EXPECT_EQ(depth, 0);
}

TEST_F(ExecDispatch, ThreadNotCreatedAnswersTwoHundredFiftyFiveThroughTheNode) {
    list.SetExecThreadStarter([](Command*) { return false; });
    Request q;
    std::unique_ptr<Command> c(q.Build());
    c->flags = 0;
    list.ExecuteCommand(*c);
    EXPECT_EQ(c->status, 255);
    EXPECT_FALSE(c->flags & Command::kFlagDeferredReply); // the node replies on return
}

TEST_F(ExecDispatch, EmptyOrMissingCommandLineIsAnInvalidCommand) {
    list.SetExecThreadStarter([this](Command* c) {
        started.push_back(c);
        return true;
    });
    for (int params : {0, 1}) {
        Request q;
        q.line = "";
        q.params = params;
        std::unique_ptr<Command> c(q.Build());
        c->flags = 0;
        list.ExecuteCommand(*c);
        EXPECT_EQ(c->status, 1);
        EXPECT_FALSE(c->flags & Command::kFlagDeferredReply);
    }
    EXPECT_TRUE(started.empty());
    EXPECT_EQ(snapshots, 0);
}

} // namespace
} // namespace pm::exec::test
