// Subjects, operations, the gate's rules for a request and pmgate.conf.
#include <gtest/gtest.h>

#include "shared/monitor/forwarded_command.h"
#include "shared/remote/gate_config.h"
#include "shared/remote/operations.h"
#include "shared/remote/statuses.h"
#include "shared/remote/subjects.h"
#include "tests/remote/remote_request.h"

namespace pm::remote {
namespace {

using test::PackRequest;
using test::U32;

TEST(RemoteSubjects, BuildAndRead) {
    EXPECT_EQ(RequestSubject("web01", "ProcMgr", 0x73124533), "procmgr.web01.ProcMgr.73124533");
    EXPECT_EQ(RequestSubject("a", "KAVMonitorClientNC", 0x10D, "list"),
              "procmgr.a.KAVMonitorClientNC.0000010d.list");
    Subject s;
    ASSERT_TRUE(ParseSubject("procmgr.web-1_x.ProcMgr.73124536.replace-all", s));
    EXPECT_EQ(s.machine, "web-1_x");
    EXPECT_EQ(s.node, "ProcMgr");
    EXPECT_EQ(s.code, 0x73124536u);
    EXPECT_EQ(s.operation, "replace-all");
    const char* refused[] = {
        "procmgr.web01.ProcMgr.7312453",         // 7 digits
        "procmgr.web01.ProcMgr.731245330",       // 9 digits
        "procmgr.web01.ProcMgr.7312453A",        // upper-case hex
        "procmgr.Web01.ProcMgr.73124533",        // machine not lower case
        "procmgr.web01.ProcMgr",                 // three tokens
        "procmgr.web01.ProcMgr.73124536.list.x", // six tokens
        "procmgr.web01..73124533",               // empty node
        "procmgr.web01.ProcMgr.73124536.",       // empty operation
        "other.web01.ProcMgr.73124533",          // root
    };
    for (const char* r : refused)
        EXPECT_FALSE(ParseSubject(r, s)) << r;
}

TEST(RemoteSubjects, MachineNames) {
    EXPECT_EQ(MachineFromComputerName("WEB-01"), "web-01");
    EXPECT_EQ(MachineFromComputerName("my.pc"), "");
    EXPECT_EQ(MachineFromComputerName(""), "");
    EXPECT_TRUE(IsValidMachineName(std::string(63, 'a')));
    EXPECT_FALSE(IsValidMachineName(std::string(64, 'a')));
}

// What a gate answers to, and whose name a gate's own subject carries.
TEST(RemoteSubjects, InboxesAndOwnSubjects) {
    EXPECT_EQ(InboxPrefix("readonly"), "_INBOX.readonly");
    EXPECT_EQ(InboxPrefix("a.b*c>"), "_INBOX.a_b_c_");
    EXPECT_EQ(InboxPrefix(""), "_INBOX");
    for (const char* ok : {"_INBOX.operator.Ab9", "_INBOX.x"})
        EXPECT_TRUE(IsConsoleInbox(ok)) << ok;
    for (const char* no : {"$JS.API.STREAM.PURGE.PROCMGR_RESULTS", "procmgr.agent1.acks.q1",
                           "procmgr.agent2.ProcMgr.73124535", "_INBOX.", "_INBOX", "_INBOXX.a",
                           "_INBOX.a.>", "_INBOX.*", "_INBOX..a", "_INBOX.a b", ""})
        EXPECT_FALSE(IsConsoleInbox(no)) << no;
    EXPECT_EQ(MachineOfSubject("procmgr.agent1.alerts", "alerts"), "agent1");
    EXPECT_EQ(MachineOfSubject("procmgr.agent1.hello", "alerts"), "");
    EXPECT_EQ(MachineOfSubject("procmgr.agent1.x.alerts", "alerts"), "");
    EXPECT_EQ(MachineOfSubject("other.agent1.alerts", "alerts"), "");
    EXPECT_EQ(MachineOfSubject("procmgr.Agent1.alerts", "alerts"), "");
}

TEST(RemoteOperations, FromParametersAndPayload) {
    struct Row {
        const char* node;
        uint32_t code;
        std::vector<std::string> params;
        bool ok;
        const char* operation;
    };
    const std::string add = U32(0x102) + "record";
    const Row rows[] = {
        {kAgentNode, 0x73124533, {U32(0)}, true, ""},
        {kAgentNode, 0x73124536, {U32(0x100)}, true, "list"},
        {kAgentNode, 0x73124536, {U32(0x114)}, true, "list"},
        {kAgentNode, 0x73124536, {add}, true, "add"},
        {kAgentNode, 0x73124536, {U32(0x112) + U32(0)}, true, "replace-all"},
        {kAgentNode, 0x73124536, {U32(0x999)}, false, ""},
        {kAgentNode, 0x73124536, {std::string("\x00\x01", 2)}, false, ""},
        {kAgentNode, 0x73124536, {}, false, ""},
        {kHostNode, 0x10D, {"p0", monitor::ForwardedDataParam(U32(0x111))}, true, "pids"},
        {kHostNode, 0x10D, {"p0", monitor::ForwardedDataParam(U32(0x111)) + "x"}, false, ""},
        {kHostNode, 0x504D4803, {std::string(8, '\0'), U32(0x101)}, true, "delete"},
        {kHostNode, 0x504D4801, {}, true, ""},
    };
    for (const Row& r : rows) {
        std::string op = "?";
        EXPECT_EQ(OperationOf(r.node, r.code, r.params, op), r.ok) << std::hex << r.code;
        if (r.ok) {
            EXPECT_EQ(op, r.operation) << std::hex << r.code;
        }
        const std::string payload = PackRequest(r.node, r.code, r.params);
        op = "?";
        EXPECT_EQ(OperationOfPayload(r.node, reinterpret_cast<const uint8_t*>(payload.data()),
                                     payload.size(), op),
                  r.ok);
        if (r.ok) {
            EXPECT_EQ(op, r.operation);
        }
    }
    EXPECT_TRUE(RequestChanges(kAgentNode, 0x73124536, "add"));
    EXPECT_FALSE(RequestChanges(kAgentNode, 0x73124536, "list"));
    EXPECT_TRUE(RequestChanges(kAgentNode, 0x73124535, ""));
    EXPECT_FALSE(RequestChanges(kAgentNode, 0x73124533, ""));
}

TEST(RemoteRules, GateDecision) {
    GateRules rules{{kAgentNode, kHostNode}, DefaultAllowList()};
    struct Row {
        const char* subject;
        std::string payload;
        GateStatus expected;
    };
    const std::string list = PackRequest(kAgentNode, 0x73124536, {U32(0x100)});
    const std::string updates = PackRequest(kAgentNode, 0x73124533, {U32(0)});
    const Row rows[] = {
        {"procmgr.m.ProcMgr.73124533", updates, GateStatus::kReply},
        {"procmgr.m.ProcMgr.73124536.list", list, GateStatus::kReply},
        {"procmgr.m.ProcMgr.73124536.add", list, GateStatus::kOperationMismatch},
        {"procmgr.m.ProcMgr.73124536", list, GateStatus::kOperationMismatch},
        {"procmgr.m.ProcMgr.73124532", updates, GateStatus::kOperationMismatch},
        {"procmgr.m.ProcMgr.73124533", PackRequest(kHostNode, 0x73124533, {U32(0)}),
         GateStatus::kOperationMismatch},
        {"procmgr.m.ProcMgr.73124533", PackRequest(kAgentNode, 0x73124533, {U32(0)}, 1),
         GateStatus::kNotForwarded},
        {"procmgr.m.ProcMgr.12345678", PackRequest(kAgentNode, 0x12345678, {}),
         GateStatus::kNotForwarded},
        {"procmgr.m.Other.73124533", PackRequest("Other", 0x73124533, {}),
         GateStatus::kNotForwarded},
        {"procmgr.m.ProcMgr.73124533", updates.substr(0, updates.size() - 1),
         GateStatus::kMalformed},
        {"procmgr.m.ProcMgr.73124533", updates + "x", GateStatus::kMalformed},
        {"procmgr.m.ProcMgr.73124536.list", PackRequest(kAgentNode, 0x73124536, {U32(0x777)}),
         GateStatus::kMalformed},
    };
    for (const Row& r : rows) {
        Subject s;
        ASSERT_TRUE(ParseSubject(r.subject, s)) << r.subject;
        const RequestCheck c = CheckRequest(s, reinterpret_cast<const uint8_t*>(r.payload.data()),
                                            r.payload.size(), rules);
        EXPECT_EQ(c.status, r.expected) << r.subject;
    }
    rules.allow = {0x73124533};
    Subject s;
    ASSERT_TRUE(ParseSubject("procmgr.m.ProcMgr.73124536.list", s));
    EXPECT_EQ(
        CheckRequest(s, reinterpret_cast<const uint8_t*>(list.data()), list.size(), rules).status,
        GateStatus::kNotForwarded);
}

TEST(RemoteConfig, GateFile) {
    GateConfig c;
    std::string error;
    ASSERT_TRUE(ParseGateConfig("# the gate\n"
                                "servers = tls://a:4222, tls://b:4223\r\n"
                                "  ca_file = C:\\ca.pem\n"
                                "credentials=cred.txt\n"
                                "machine = agent1\n"
                                "allow = 0x73124533,1930577202\n"
                                "max_in_flight = 4096\n"
                                "heartbeat = 3600\n"
                                "trace = 1\n",
                                c, error))
        << error;
    EXPECT_EQ(c.servers, (std::vector<std::string>{"tls://a:4222", "tls://b:4223"}));
    EXPECT_EQ(c.ca_file, "C:\\ca.pem");
    EXPECT_EQ(c.credentials, "cred.txt");
    EXPECT_EQ(c.machine, "agent1");
    EXPECT_EQ(c.nodes, (std::vector<std::string>{kAgentNode, kHostNode}));
    EXPECT_EQ(c.allow, (std::vector<uint32_t>{0x73124533, 0x73124532}));
    EXPECT_EQ(c.max_in_flight, 4096u);
    EXPECT_EQ(c.heartbeat_s, 3600u);
    EXPECT_TRUE(c.trace);

    ASSERT_TRUE(ParseGateConfig("servers = nats://127.0.0.1:4222\n", c, error));
    EXPECT_EQ(c.max_in_flight, kDefaultMaxInFlight);
    EXPECT_EQ(c.heartbeat_s, kDefaultHeartbeatSeconds);
    EXPECT_EQ(c.allow, DefaultAllowList());

    const char* bad[] = {
        "",                                    // no servers
        "servers = \n",                        // empty list
        "servers = a\nservers = b\n",          // twice
        "servers = a\nsever = b\n",            // unknown key
        "servers = a\nmachine = Web01\n",      // upper case
        "servers = a\nmax_in_flight = 0\n",    // below 1
        "servers = a\nmax_in_flight = 4097\n", // above the limit
        "servers = a\nheartbeat = 0\n",        // no period
        "servers = a\nheartbeat = 3601\n",     // above an hour
        "servers = a\nallow = 0x1g\n",         // not a code
        "servers = a\nallow = 4294967296\n",   // above 32 bits
        "servers = a\nallow = , \n",           // nothing would be forwarded
        "servers = a\nnodes = Proc.Mgr\n",     // not a token
        "servers = a\ncert_file = c.pem\n",    // without its key
        "servers = a\ntrace = yes\n",          // not 0|1
        "servers = a\njust words\n",           // no '='
    };
    for (const char* b : bad) {
        error.clear();
        EXPECT_FALSE(ParseGateConfig(b, c, error)) << b;
        EXPECT_FALSE(error.empty()) << b;
    }
    std::string user, password;
    EXPECT_TRUE(ParseCredentials("agent1\r\ns3cret\r\n", user, password));
    EXPECT_EQ(user, "agent1");
    EXPECT_EQ(password, "s3cret");
    EXPECT_FALSE(ParseCredentials("agent1\n", user, password));
    EXPECT_FALSE(ParseCredentials("agent1\n\n", user, password));
}

} // namespace
} // namespace pm::remote
