// The fleet bus over the project's own connection (the Windows console's), natively against a
// real nats-server with JetStream: the alert stream made through the API, a read-only user's
// unread alerts through its durable consumer and a reading from a time, and presence.
#include "outside/pmconsole/fleet/connection_bus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "outside/pmconsole/fleet/fleet_bus.h"
#include "shared/nats/connection.h"
#include "shared/nats/server_stream_posix.h"
#include "shared/remote/alerts.h"
#include "shared/remote/presence.h"
#include "tests/nats/nats_server_posix.h"

namespace pm::console {
namespace {

// The read-only user's rights are those the cluster's generator writes for it.
const char* kConfig = R"(
authorization { users = [
  { user: operator, password: op,
    permissions: { publish: ["procmgr.>", "$JS.API.>", "$JS.ACK.PROCMGR_ALERTS.>"],
                   subscribe: ["procmgr.*.hello", "procmgr.*.heartbeat", "_INBOX.operator.>"] } },
  { user: readonly, password: ro,
    permissions: { publish: ["procmgr.discover", "$JS.API.INFO",
        "$JS.API.STREAM.INFO.PROCMGR_ALERTS",
        "$JS.API.CONSUMER.DURABLE.CREATE.PROCMGR_ALERTS.pmconsole_readonly",
        "$JS.API.CONSUMER.INFO.PROCMGR_ALERTS.pmconsole_readonly",
        "$JS.API.CONSUMER.MSG.NEXT.PROCMGR_ALERTS.pmconsole_readonly",
        "$JS.ACK.PROCMGR_ALERTS.pmconsole_readonly.>",
        "$JS.API.CONSUMER.CREATE.PROCMGR_ALERTS", "$JS.FC.PROCMGR_ALERTS.>"],
                   subscribe: ["procmgr.*.hello", "procmgr.*.heartbeat", "_INBOX.readonly.>"] } }
] }
)";

std::unique_ptr<RequestTransport> Connect(const test::NatsServer& server, const std::string& user,
                                          const std::string& password, std::string& error) {
    RemoteSettings s;
    s.servers = {server.Url()};
    s.user = user;
    return ConnectOwn(s, password, std::make_unique<nats::PosixDialer>(), error);
}

uint64_t UtcMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

std::vector<std::string> Read(FleetBus& bus, uint64_t since_ms, std::string& error) {
    std::vector<std::string> got;
    AlertReading r;
    r.since_ms = since_ms;
    r.idle_ms = 700;
    EXPECT_TRUE(bus.ReadAlerts(
        r,
        [&](const std::string& subject, const std::string& payload) {
            got.push_back(subject + " " + payload);
            return true;
        },
        error))
        << error;
    return got;
}

TEST(ConnectionBus, AlertsPresenceAndTheReadOnlyUsersShare) {
    if (!test::HaveNatsServer()) GTEST_SKIP() << "nats-server is not installed";
    test::NatsServer server(kConfig, {"-js"});
    ASSERT_TRUE(server.Started());
    std::string error;
    auto op = Connect(server, "operator", "op", error);
    ASSERT_NE(op, nullptr) << error;
    FleetBus& ops = *dynamic_cast<FleetBus*>(op.get());
    // A stream of that name with other settings is brought up to date, not refused.
    ASSERT_EQ(ops.Gather("$JS.API.STREAM.CREATE.PROCMGR_ALERTS",
                         R"({"name":"PROCMGR_ALERTS","subjects":["procmgr.*.alerts"]})", 5000, 0, 1)
                  .size(),
              1u);
    ASSERT_TRUE(ops.SetupAlerts(1, error)) << error;
    const std::vector<std::string> stream =
        ops.Gather("$JS.API.STREAM.INFO.PROCMGR_ALERTS", "", 5000, 0, 1);
    ASSERT_EQ(stream.size(), 1u);
    EXPECT_NE(stream[0].find("\"max_msgs_per_subject\":10000"), std::string::npos) << stream[0];

    auto ro = Connect(server, "readonly", "ro", error);
    ASSERT_NE(ro, nullptr) << error;
    FleetBus& reader = *dynamic_cast<FleetBus*>(ro.get());
    EXPECT_FALSE(reader.SetupAlerts(1, error)) << "the read-only user made a stream";
    ASSERT_TRUE(reader.AskPresence());

    // A gate's hello and three alerts, published as a machine would.
    nats::ConnectionSettings cs;
    nats::ServerUrl url;
    ASSERT_TRUE(nats::ParseServerUrl(server.Url(), url, error));
    cs.servers = {url};
    cs.connect.user = "operator";
    cs.connect.password = "op";
    nats::PosixDialer dialer;
    nats::Connection machine(cs, dialer);
    ASSERT_EQ(machine.Open(error), nats::Connection::Start::kConnected) << error;
    const uint64_t before = UtcMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (int k = 1; k <= 3; ++k)
        machine.Publish(remote::AlertSubject("m1"), "", "{\"n\":" + std::to_string(k) + "}");
    machine.Publish(remote::HelloSubject("m1"), "", "{\"machine\":\"m1\"}");
    ASSERT_TRUE(machine.Flush(5000));

    std::string subject, payload;
    ASSERT_TRUE(reader.NextPresence(subject, payload, 5000));
    EXPECT_EQ(subject, "procmgr.m1.hello");

    const std::vector<std::string> all = {"procmgr.m1.alerts {\"n\":1}",
                                          "procmgr.m1.alerts {\"n\":2}",
                                          "procmgr.m1.alerts {\"n\":3}"};
    EXPECT_EQ(Read(reader, 0, error), all) << "unread, in the stream's order";
    EXPECT_TRUE(Read(reader, 0, error).empty()) << "acknowledged alerts came again";
    const std::vector<std::string> info =
        ops.Gather("$JS.API.CONSUMER.INFO.PROCMGR_ALERTS.pmconsole_readonly", "", 5000, 0, 1);
    ASSERT_EQ(info.size(), 1u);
    EXPECT_NE(info[0].find("\"num_ack_pending\":0"), std::string::npos) << info[0];
    EXPECT_EQ(Read(reader, before, error), all) << "from a time";
    EXPECT_TRUE(Read(reader, UtcMs() + 60000, error).empty());
}

} // namespace
} // namespace pm::console
