#include <gtest/gtest.h>

#include <set>

#include "node_fixture.h"
#include "process_trace_capture.h"
#include "procman/w32/procmgr_svc_node.h"

namespace pm {
namespace {

using test::Packed;

TEST(CommandRoutes, OneEntryPerConsoleCodeWithItsTraceLine) {
    size_t count = 0;
    const CommandRoute* routes = CommandRoutes(count);
    ASSERT_EQ(count, 6u);
    std::set<uint32_t> codes;
    for (size_t i = 0; i < count; ++i) {
        codes.insert(routes[i].code);
        EXPECT_EQ(FindCommandRoute(routes[i].code), &routes[i]);
        std::string trace = routes[i].trace;
        EXPECT_EQ(trace.rfind("--CommandReceived: ", 0), 0u) << trace;
        EXPECT_EQ(trace.back(), '\n');
    }
    EXPECT_EQ(codes, (std::set<uint32_t>{0x73124532, 0x73124533, 0x73124534, 0x73124535, 0x73124536,
                                         0x73124545}));
    EXPECT_EQ(FindCommandRoute(0), nullptr);
    EXPECT_EQ(FindCommandRoute(0x73124537), nullptr);
}

struct RouteCase {
    uint32_t code;
    const char* expected_trace;
};

class ProcMgrCommand : public test::NodeFixture, public ::testing::WithParamInterface<RouteCase> {};

TEST_P(ProcMgrCommand, TracesAndAnswersStatusOne) {
    test::ProcessTraceCapture capture;
    ProcMgrSvcNode node(library, platform);
    ASSERT_TRUE(node.IsRegistered());
    Deliver(node, Packed(0, "pmconsole-1", "ProcMgr", GetParam().code, 9));
    ASSERT_EQ(fake.enqueued.size(), 1u);
    msg::MessageView v;
    ASSERT_TRUE(msg::ValidateMessage(fake.enqueued[0].data(), fake.enqueued[0].size(), v));
    EXPECT_EQ(v.value, 1u);
    EXPECT_EQ(v.item_count, 0);
    EXPECT_STREQ(v.addressee, "pmconsole-1");
    std::string expected = "--ProcMgrSvcNode: Command " +
                           std::to_string(static_cast<int32_t>(GetParam().code)) +
                           " received from ProcMgr\n" + GetParam().expected_trace;
    EXPECT_EQ(capture.Lines(), expected);
    EXPECT_TRUE(platform.quits.empty()); // the handler always answers 1
}

INSTANTIATE_TEST_SUITE_P(
    All, ProcMgrCommand,
    ::testing::Values(
        RouteCase{0, ""}, RouteCase{0xFFFFFFFF, ""},
        RouteCase{0x73124532, "--CommandReceived: Get Configuration for Process Management Task\n"},
        RouteCase{0x73124533, "--CommandReceived: Get Updates on Active Processes\n"},
        RouteCase{0x73124534, "--CommandReceived: Signal a Process\n"},
        RouteCase{0x73124535, "--CommandReceived: Execute Command\n"},
        RouteCase{0x73124545, "--CommandReceived: Operating System Specific Command\n"}));

TEST(ProcMgrSvcNode, MonitorCommandIsForwardedAndItsReplyDeferred) {
    test::FakeMessaging fake;
    MessagingLibrary library(fake);
    test::FakePlatform platform;
    test::ProcessTraceCapture capture;
    ProcMgrSvcNode node(library, platform);
    ASSERT_NE(fake.callback, nullptr);
    fake.callback(&node, fake.Deliver(Packed(0, "pmconsole-1", "ProcMgr", 0x73124536, 9, {"x"})),
                  0);
    ASSERT_EQ(fake.enqueued.size(), 1u); // the forwarded request; the console waits
    msg::MessageView v;
    ASSERT_TRUE(msg::ValidateMessage(fake.enqueued[0].data(), fake.enqueued[0].size(), v));
    EXPECT_EQ(v.type, 0);
    EXPECT_EQ(v.value, 0x10Du);
    EXPECT_STREQ(v.addressee, "KAVMonitorClientNC");
    EXPECT_STREQ(v.sender, "ProcMgr");
    EXPECT_EQ(capture.Lines(), "--ProcMgrSvcNode: Command 1930577206 received from ProcMgr\n"
                               "--CommandReceived: Forwarding Command to Process Monitor Service\n"
                               "--ProcMonCmd::ProcMonCmd(): Creating Process Monitor Command\n");
    // Silence from the host: the console hears 0xFFFF0002 after the time-out.
    fake.callback(&node, nullptr, 15001);
    ASSERT_EQ(fake.enqueued.size(), 2u);
    ASSERT_TRUE(msg::ValidateMessage(fake.enqueued[1].data(), fake.enqueued[1].size(), v));
    EXPECT_EQ(v.type, 1);
    EXPECT_EQ(v.value, 0xFFFF0002u);
    EXPECT_STREQ(v.addressee, "pmconsole-1");
}

int g_checks = 0;
void CountCheck() {
    ++g_checks;
}

TEST(ProcMgrSvcNode, PulseRunsTheCheckHookAndAnswersOne) {
    test::FakeMessaging fake;
    MessagingLibrary library(fake);
    test::FakePlatform platform;
    ProcMgrSvcNode node(library, platform);
    EXPECT_EQ(node.Pulse(), 1); // no hook: nothing to check
    g_checks = 0;
    SetCheckForUpdatesHook(&CountCheck);
    EXPECT_EQ(node.Pulse(), 1);
    EXPECT_EQ(g_checks, 1);
    SetCheckForUpdatesHook(nullptr);
}

TEST(ProcMgrSvcNode, RegistersAsProcMgr) {
    test::FakeMessaging fake;
    MessagingLibrary library(fake);
    test::FakePlatform platform;
    ProcMgrSvcNode node(library, platform);
    EXPECT_EQ(fake.created_name, "ProcMgr");
    EXPECT_EQ(ProcessNode(), nullptr);
}

} // namespace
} // namespace pm
