#include <gtest/gtest.h>

#include "outside/pmconsole/alerts_command.h"
#include "shared/monitor/host_alerts.h"
#include "shared/monitor/host_requests.h"
#include "shared/monitor/node_packets.h"
#include "tests/node/fake_console_io.h"

namespace pm::host {
namespace {

HostAlert Sample(const char* process = "PING.EXE") {
    HostAlert a;
    a.time = 1796595845; // 2026-12-06T22:24:05Z
    a.level = 3;
    a.alert_class = 0x405;
    a.owner = {'A', 'l', 'e', 'r', 't', 0, 0, 0};
    a.key = "process.started";
    a.process = process;
    a.display = {"Process Monitors", "Process Alert", "Process Started", process};
    a.symbolic = {"TARNVEX", "1093223018", "0000002304", process};
    return a;
}

TEST(HostAlerts, WireItemRoundTripsAndRejectsEveryCut) {
    HostAlert a = Sample();
    a.seq = 7;
    const std::string item = EncodeAlert(a);
    HostAlert back;
    ASSERT_TRUE(DecodeAlert(item, &back));
    EXPECT_EQ(EncodeAlert(back), item);
    EXPECT_EQ(back.display, a.display);
    for (size_t n = 0; n < item.size(); ++n)
        EXPECT_FALSE(DecodeAlert(item.substr(0, n), &back)) << n;
    EXPECT_FALSE(DecodeAlert(item + "x", &back));
}

TEST(HostAlerts, JsonLineHoldsEveryFieldEscaped) {
    HostAlert a = Sample("A\"B\\C.EXE");
    a.seq = 2;
    EXPECT_EQ(
        AlertJson(a),
        "{\"seq\": 2, \"time\": 1796595845, \"time_utc\": \"2026-12-06T22:24:05Z\", "
        "\"level\": 3, \"class\": 1029, \"kind\": \"started\", \"key\": \"process.started\", "
        "\"process\": \"A\\\"B\\\\C.EXE\", \"owner\": \"416c657274000000\", \"display\": "
        "[\"Process Monitors\", \"Process Alert\", \"Process Started\", \"A\\\"B\\\\C.EXE\"], "
        "\"symbolic\": [\"TARNVEX\", \"1093223018\", \"0000002304\", \"A\\\"B\\\\C.EXE\"]}");
}

TEST(HostAlerts, UtcTextOfKnownDates) {
    EXPECT_EQ(UtcText(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(UtcText(951782400), "2000-02-29T00:00:00Z");
    EXPECT_EQ(UtcText(4294967295u), "2106-02-07T06:28:15Z");
}

TEST(HostAlerts, RingKeepsTheLastThousandNumbered) {
    AlertRing ring;
    for (int i = 0; i < 1005; ++i)
        ring.Add(Sample());
    EXPECT_EQ(ring.Size(), 1000u);
    EXPECT_EQ(ring.Newest(), 1005u);
    std::vector<const HostAlert*> all = ring.Since(0);
    EXPECT_EQ(all.front()->seq, 6u);
    EXPECT_EQ(all.back()->seq, 1005u);
    EXPECT_EQ(ring.Since(1003).size(), 2u);
    EXPECT_TRUE(ring.Since(1005).empty());
    // The status answer: alerts kept, then the newest number (they differ once some dropped).
    HostAnswer status = AnswerHostRequest(kCmdHostStatus, {}, ring, {9, 500});
    ASSERT_EQ(status.items.size(), 1u);
    EXPECT_EQ(status.items[0], std::string("\xE8\x03\0\0\xED\x03\0\0\x09\0\0\0\xF4\x01\0\0", 16));
    // The listing itself is read by `pmconsole alerts` below; what it refuses:
    EXPECT_EQ(AnswerHostRequest(kCmdListAlerts, {"xy"}, ring, {}).status, 1);
    EXPECT_EQ(AnswerHostRequest(0x12345678, {}, ring, {}).status, 1);
}

TEST(HostAlerts, NodePathReaderStaysInsideThePacket) {
    // size 45, type 1, "en", members 2, offsets 35 and 40, then "ABCD" and "XYZ".
    std::vector<uint8_t> p = {45, 0, 0, 0, 1,  'e', 'n', 0,   0,   0, 0,   2,   0,   0, 0,
                              35, 0, 0, 0, 40, 0,   0,   0,   0,   0, 0,   0,   0,   0, 0,
                              0,  0, 0, 0, 0,  'A', 'B', 'C', 'D', 0, 'X', 'Y', 'Z', 0, 0};
    monitor::NodePath e;
    ASSERT_TRUE(monitor::ReadNodePathPacket(p.data(), p.size(), &e));
    EXPECT_EQ(e.elements, (std::vector<std::string>{"ABCD", "XYZ"}));
    EXPECT_FALSE(monitor::ReadNodePathPacket(p.data(), p.size() - 1, &e)); // size beyond the bytes
    std::vector<uint8_t> bad = p;
    bad[19] = 45; // offset at the end
    EXPECT_FALSE(monitor::ReadNodePathPacket(bad.data(), bad.size(), &e));
    bad = p;
    bad[11] = 5; // more members than offsets
    EXPECT_FALSE(monitor::ReadNodePathPacket(bad.data(), bad.size(), &e));
    bad = p;
    bad.back() = 'x';
    bad[43] = 'x'; // last element without its NUL
    EXPECT_FALSE(monitor::ReadNodePathPacket(bad.data(), bad.size(), &e));
}

// A console io that answers each request from a script and then reports the node gone.
console::test::FakeIo ScriptedIo() {
    console::test::FakeIo io;
    io.answer.outcome = console::Reply::Outcome::kAbsentNode;
    return io;
}

console::Reply Answer(const AlertRing& ring, uint32_t after) {
    HostAnswer a = AnswerHostRequest(kCmdListAlerts, {console::U32Bytes(after)}, ring, {});
    return {console::Reply::Outcome::kReply, static_cast<uint32_t>(a.status), a.items};
}

TEST(AlertsCommand, ShowsNewestLastAndExitsThreeWithoutAHost) {
    AlertRing ring;
    ring.Add(Sample("ONE.EXE"));
    ring.Add(Sample("TWO.EXE"));
    console::test::FakeIo io = ScriptedIo();
    io.replies.push_back(Answer(ring, 0));
    EXPECT_EQ(console::RunAlerts({}, io), 0);
    EXPECT_EQ(io.sent[0].to, "KAVMonitorClientNC");
    EXPECT_LT(io.out.find("ONE.EXE"), io.out.find("TWO.EXE"));
    EXPECT_NE(io.out.find("2026-12-06T22:24:05Z  level 3  started"), std::string::npos);

    console::test::FakeIo none = ScriptedIo();
    EXPECT_EQ(console::RunAlerts({"--to", "Elsewhere"}, none), 3);
    EXPECT_NE(none.err.find("not running"), std::string::npos);
    EXPECT_EQ(none.sent[0].to, "Elsewhere");
}

TEST(AlertsCommand, FollowAsksForWhatIsNewUntilTheHostStops) {
    AlertRing ring;
    ring.Add(Sample("ONE.EXE"));
    console::test::FakeIo io = ScriptedIo();
    io.replies.push_back(Answer(ring, 0));
    ring.Add(Sample("TWO.EXE"));
    io.replies.push_back(Answer(ring, 1));
    EXPECT_EQ(console::RunAlerts({"--follow", "--json", "--interval", "250"}, io), 3);
    ASSERT_EQ(io.sent.size(), 3u);
    EXPECT_EQ(io.sent[1].params[0], console::U32Bytes(1));
    EXPECT_EQ(io.sent[2].params[0], console::U32Bytes(2));
    EXPECT_EQ(io.waits, (std::vector<unsigned>{250, 250}));
    EXPECT_EQ(std::count(io.out.begin(), io.out.end(), '\n'), 2);
    EXPECT_EQ(io.out.find("\"process\": \"ONE.EXE\""), io.out.rfind("\"process\": \"ONE.EXE\""));
}

TEST(AlertsCommand, BadUsageAndRefusals) {
    console::test::FakeIo io = ScriptedIo();
    EXPECT_EQ(console::RunAlerts({"--bogus"}, io), 2);
    EXPECT_EQ(console::RunAlerts({"--to"}, io), 2);
    io.replies.push_back({console::Reply::Outcome::kReply, 1, {}});
    EXPECT_EQ(console::RunAlerts({}, io), 1);
}

} // namespace
} // namespace pm::host
