// What the gate writes for a reply (byte for byte) and the certificate name check.
#include <gtest/gtest.h>

#include "outside/pmgate/reply_lines.h"
#include "shared/nats/host_names.h"

namespace pm::gate {
namespace {

TEST(GateLines, StatusAndPieces) {
    EXPECT_EQ(StatusLines("_INBOX.a.1", remote::GateStatus::kBusy),
              "HPUB _INBOX.a.1 26 26\r\nNATS/1.0\r\nPm-Status: 4\r\n\r\n\r\n");
    // 10 bytes in pieces of 4: 4, 4, 2, each with its number and the total.
    const std::string out = ReplyLines("r", "0123456789", 4);
    const std::string h1 = "NATS/1.0\r\nPm-Status: 0\r\nPm-Piece: 1/3\r\nPm-Size: 10\r\n\r\n";
    EXPECT_EQ(out.substr(0, out.find("0123") + 6), "HPUB r " + std::to_string(h1.size()) + " " +
                                                       std::to_string(h1.size() + 4) + "\r\n" + h1 +
                                                       "0123\r\n");
    EXPECT_NE(out.find("Pm-Piece: 3/3\r\nPm-Size: 10\r\n\r\n89\r\n"), std::string::npos);
    EXPECT_EQ(out.find("Pm-Piece: 4/"), std::string::npos);
    const std::string empty = ReplyLines("r", "", 4);
    EXPECT_NE(empty.find("Pm-Piece: 1/1\r\nPm-Size: 0\r\n\r\n\r\n"), std::string::npos);
}

TEST(GateLines, AlertForTheStream) {
    const remote::AlertRecord a{"web01", "host7", 3, 7000, "ping.exe", 0x20001, "started"};
    const std::string body = remote::AlertJson(a);
    // The id header, the stream's answer asked to the gate's own subject.
    const std::string h = "NATS/1.0\r\nNats-Msg-Id: web01-host7-3.k1\r\n\r\n";
    EXPECT_EQ(AlertLines(a, "procmgr.web01.acks.9", "k1"),
              "HPUB procmgr.web01.alerts procmgr.web01.acks.9 " + std::to_string(h.size()) + " " +
                  std::to_string(h.size() + body.size()) + "\r\n" + h + body + "\r\n");
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
