#include <gtest/gtest.h>

#include "node_fixture.h"
#include "procman/w32/procmgr_svc_node.h"

namespace pm {
namespace {

using test::Packed;

class ProcMgrCommand : public test::NodeFixture, public ::testing::WithParamInterface<uint32_t> {};

// Every console code without its parameters, and codes nobody handles, answer status 1 with no
// items to the console that asked; the node keeps serving.
TEST_P(ProcMgrCommand, WithoutParametersAnswersStatusOne) {
    ProcMgrSvcNode node(library, platform);
    ASSERT_TRUE(node.IsRegistered());
    EXPECT_EQ(fake.created_name, "ProcMgr");
    Deliver(node, Packed(0, "pmconsole-1", "ProcMgr", GetParam(), 9));
    ASSERT_EQ(fake.enqueued.size(), 1u);
    msg::MessageView v;
    ASSERT_EQ(msg::CheckHeader(fake.enqueued[0].data(), fake.enqueued[0].size(),
                               msg::AddresseeRule::kAnyString, &v),
              msg::HeaderCheck::kOk);
    EXPECT_EQ(v.value, 1u);
    EXPECT_EQ(v.item_count, 0);
    EXPECT_EQ(v.seq_no, 9u);
    EXPECT_STREQ(v.addressee, "pmconsole-1");
    EXPECT_TRUE(platform.quits.empty());
    EXPECT_TRUE(platform.posted.empty());
}

INSTANTIATE_TEST_SUITE_P(All, ProcMgrCommand,
                         ::testing::Values(0u, 0xFFFFFFFFu, 0x73124537u, 0x73124532u, 0x73124533u,
                                           0x73124534u, 0x73124535u, 0x73124545u));

using ProcMgrSvcNodeTest = test::NodeFixture;

// The monitor command goes to the host; what is forwarded, and the host's reply or the time-out
// sent on to the console, are checked in process_list/proc_mon_cmd_test.
TEST_F(ProcMgrSvcNodeTest, MonitorCommandIsForwarded) {
    ProcMgrSvcNode node(library, platform);
    Deliver(node, Packed(0, "pmconsole-1", "ProcMgr", 0x73124536, 9, {"x"}));
    ASSERT_EQ(fake.enqueued.size(), 1u); // the forwarded request; the console waits
    msg::MessageView v;
    ASSERT_EQ(msg::CheckHeader(fake.enqueued[0].data(), fake.enqueued[0].size(),
                               msg::AddresseeRule::kAnyString, &v),
              msg::HeaderCheck::kOk);
    EXPECT_EQ(v.value, 0x10Du);
    EXPECT_STREQ(v.addressee, "KAVMonitorClientNC");
    Tick(node, 15001); // the time-out ends the wait
    EXPECT_EQ(node.PendingCount(), 0u);
}

int g_checks = 0;
void CountCheck() {
    ++g_checks;
}

TEST_F(ProcMgrSvcNodeTest, PulseRunsTheCheckHookAndAnswersOne) {
    ProcMgrSvcNode node(library, platform);
    EXPECT_EQ(node.Pulse(), 1); // no hook: nothing to check
    g_checks = 0;
    SetCheckForUpdatesHook(&CountCheck);
    EXPECT_EQ(node.Pulse(), 1);
    EXPECT_EQ(g_checks, 1);
    SetCheckForUpdatesHook(nullptr);
    EXPECT_EQ(ProcessNode(), nullptr);
}

} // namespace
} // namespace pm
