// What the gate's link writes for a bus message (byte for byte) and the certificate name check.
#include <gtest/gtest.h>

#include "outside/pmgate/gate_bus.h"
#include "outside/pmgate/gate_messages.h"
#include "shared/nats/host_names.h"

namespace pm::gate {
namespace {

TEST(GateLines, PubOrHPubByHeaders) {
    EXPECT_EQ(BusLines(StatusMessage("_INBOX.a.1", remote::GateStatus::kBusy)),
              "HPUB _INBOX.a.1 26 26\r\nNATS/1.0\r\nPm-Status: 4\r\n\r\n\r\n");
    const std::string h = "NATS/1.0\r\nNats-Msg-Id: web01-host7-3.k1\r\n\r\n";
    EXPECT_EQ(BusLines({"procmgr.web01.alerts",
                        "procmgr.web01.acks.9",
                        {{"Nats-Msg-Id", "web01-host7-3.k1"}},
                        "{}"}),
              "HPUB procmgr.web01.alerts procmgr.web01.acks.9 " + std::to_string(h.size()) + " " +
                  std::to_string(h.size() + 2) + "\r\n" + h + "{}\r\n");
    EXPECT_EQ(BusLines({"procmgr.web01.hello", "", {}, "{}"}),
              "PUB procmgr.web01.hello 2\r\n{}\r\n");
}

TEST(GateLines, CertificateNames) {
    struct Row {
        const char* host;
        bool match;
    };
    const std::vector<std::string> dns = {"localhost", "*.fleet.test"};
    const std::vector<std::string> ips = {"127.0.0.1"};
    const Row rows[] = {
        {"localhost", true},       {"LocalHost", true},   {"a.fleet.test", true},
        {"a.b.fleet.test", false}, {"fleet.test", false}, {"127.0.0.1", true},
        {"127.0.0.2", false},      {"elsewhere", false},  {"localhost.", false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(nats::HostMatchesCertificate(r.host, dns, ips), r.match) << r.host;
    EXPECT_FALSE(nats::HostMatchesCertificate("127.0.0.1", {"127.0.0.1"}, {})); // an IP only as IP
}

} // namespace
} // namespace pm::gate
