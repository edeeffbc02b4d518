// The alert pump with a scripted monitor host and a recording bus: the host asked from its
// newest alert seen, one alert in flight at a time until the stream says it stored it, and the
// id key that keeps another machine's login from taking this one's ids.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>

#include "outside/pmgate/alert_pump.h"
#include "shared/base/endian.h"
#include "shared/monitor/host_alerts.h"
#include "shared/remote/operations.h"
#include "tests/gate/gate_fakes.h"

namespace pm::gate {
namespace {

using test::HeaderOf;

host::HostAlert HostAlert(uint32_t seq, const char* process) {
    host::HostAlert a;
    a.seq = seq;
    a.time = 1700000000;
    a.level = 2;
    a.alert_class = 1;
    a.key = "process.started";
    a.process = process;
    return a;
}

nats::Message Stored(const std::string& subject) {
    nats::Message m;
    m.subject = subject;
    m.payload = R"({"stream":"PROCMGR_ALERTS","seq":12})";
    return m;
}

TEST(AlertPump, OneAlertInFlightUntilTheStreamStoredIt) {
    test::RecordingBus bus;
    test::ManualClock clock;
    test::ScriptedNode host;
    host.running = {remote::kHostNode};
    std::vector<uint32_t> asked_after;
    host.answer = [&](NodeRequest& c) {
        uint32_t after = 99;
        EXPECT_EQ(c.cmd_code, host::kCmdListAlerts);
        EXPECT_STREQ(c.GetTargetAddr(), remote::kHostNode);
        EXPECT_TRUE(c.ParamU32(0, &after));
        asked_after.push_back(after);
        if (after != 0) return; // nothing newer
        const std::string newest = le::Bytes32(2);
        c.AddResult(newest.data(), 4);
        for (const host::HostAlert& a : {HostAlert(1, "ping.exe"), HostAlert(2, "pong.exe")}) {
            const std::string item = host::EncodeAlert(a);
            c.AddResult(item.data(), static_cast<uint32_t>(item.size()));
        }
        c.AddResult("junk", 4); // no alert: skipped
    };
    AlertPump pump("m1", "k1", bus, host, clock, [](const std::string&) {});
    pump.Poll();
    pump.Publish();
    std::vector<BusMessage> sent = bus.Take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].subject, "procmgr.m1.alerts");
    EXPECT_EQ(sent[0].reply, "procmgr.m1.acks.1");
    remote::AlertRecord a;
    ASSERT_TRUE(remote::ParseAlert(sent[0].payload, a));
    EXPECT_EQ(a.machine, "m1");
    EXPECT_EQ(a.monitor, "ping.exe");
    EXPECT_EQ(a.code, 0x20001u);
    EXPECT_EQ(HeaderOf(sent[0], remote::kMsgIdHeader), a.MessageId() + ".k1");

    // Nothing more while it is in flight; an answer on another subject stores nothing.
    pump.Publish();
    EXPECT_TRUE(pump.OnAnswer(Stored("procmgr.m1.acks.9")));
    pump.Publish();
    EXPECT_TRUE(bus.Take().empty());
    // Overdue: the same alert again, its answer asked elsewhere.
    clock.now_ms += 5000;
    pump.Publish();
    sent = bus.Take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(HeaderOf(sent[0], remote::kMsgIdHeader), a.MessageId() + ".k1");
    EXPECT_TRUE(pump.OnAnswer(Stored(sent[0].reply)));
    pump.Publish();
    sent = bus.Take();
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_TRUE(remote::ParseAlert(sent[0].payload, a));
    EXPECT_EQ(a.monitor, "pong.exe");

    // Asked again from the newest seen; another machine's answers are not the pump's.
    pump.Poll();
    EXPECT_EQ(asked_after, (std::vector<uint32_t>{0, 2}));
    EXPECT_FALSE(pump.OnAnswer(Stored("procmgr.m2.acks.1")));
    // Nothing goes out while the link is down (the overdue alert waits); the host is not
    // asked while it is not running.
    bus.connected = false;
    clock.now_ms += 5000;
    host.running.clear();
    pump.Poll();
    pump.Publish();
    EXPECT_EQ(host.sent, 2);
    EXPECT_TRUE(bus.Take().empty());
}

// A late answer may come from a server that lost the write: the alert goes again (same id)
// once the cluster has settled, and the next waits; a confirmation the stream stores anew (no
// duplicate) says the first answer was wrong, in the trace.
TEST(AlertPump, ALateAnswerIsConfirmedBeforeTheNextAlert) {
    test::RecordingBus bus;
    test::ManualClock clock;
    test::ScriptedNode host;
    host.running = {remote::kHostNode};
    host.answer = [&](NodeRequest& c) {
        const std::string newest = le::Bytes32(2);
        c.AddResult(newest.data(), 4);
        for (const host::HostAlert& a : {HostAlert(1, "ping.exe"), HostAlert(2, "pong.exe")}) {
            const std::string item = host::EncodeAlert(a);
            c.AddResult(item.data(), static_cast<uint32_t>(item.size()));
        }
    };
    int told = 0;
    AlertPump pump("m1", "", bus, host, clock, [&](const std::string&) { ++told; });
    const auto next_monitor = [&] {
        pump.Publish();
        const std::vector<BusMessage> sent = bus.Take();
        remote::AlertRecord a;
        return sent.size() == 1 && remote::ParseAlert(sent[0].payload, a)
                   ? a.monitor + " " + sent[0].reply
                   : std::to_string(sent.size());
    };
    pump.Poll();
    EXPECT_EQ(next_monitor(), "ping.exe procmgr.m1.acks.1");
    clock.now_ms += remote::kAlertPromptAnswerMs + 1;
    EXPECT_TRUE(pump.OnAnswer(Stored("procmgr.m1.acks.1")));
    clock.now_ms += remote::kAlertConfirmAfterMs - 1;
    EXPECT_EQ(next_monitor(), "0");
    clock.now_ms += 1;
    EXPECT_EQ(next_monitor(), "ping.exe procmgr.m1.acks.2");
    EXPECT_TRUE(pump.OnAnswer(Stored("procmgr.m1.acks.2"))); // stored anew: it had been lost
    EXPECT_EQ(told, 1);
    EXPECT_EQ(next_monitor(), "pong.exe procmgr.m1.acks.3");
    clock.now_ms += remote::kAlertPromptAnswerMs + 1;
    pump.OnAnswer(Stored("procmgr.m1.acks.3"));
    clock.now_ms += remote::kAlertConfirmAfterMs;
    EXPECT_EQ(next_monitor(), "pong.exe procmgr.m1.acks.4");
    nats::Message dup = Stored("procmgr.m1.acks.4");
    dup.payload = R"({"stream":"PROCMGR_ALERTS","seq":13,"duplicate":true})";
    pump.OnAnswer(dup);
    EXPECT_EQ(told, 1);
    EXPECT_EQ(next_monitor(), "0");
}

// A question the host never completes is given up on; its late answer changes nothing.
TEST(AlertPump, AQuestionWithoutAnswerIsAskedAgain) {
    test::RecordingBus bus;
    test::ManualClock clock;
    test::ScriptedNode host;
    host.running = {remote::kHostNode};
    AlertPump pump("m1", "", bus, host, clock, [](const std::string&) {});
    pump.Poll();
    pump.Poll();
    EXPECT_EQ(host.sent, 1);
    clock.now_ms += 15000;
    pump.Poll();
    ASSERT_EQ(host.held.size(), 2u);
    const std::string newest = le::Bytes32(1), item = host::EncodeAlert(HostAlert(1, "late.exe"));
    host.held[0]->AddResult(newest.data(), 4);
    host.held[0]->AddResult(item.data(), static_cast<uint32_t>(item.size()));
    host.held[0]->OnComplete();
    pump.Publish();
    EXPECT_TRUE(bus.Take().empty());
}

// The newest alert the stream stored is kept: a gate started again sends only the host's
// alerts after it (a host started again numbers from 1 at a later time); a mark file that
// cannot be read sends them all, as before.
TEST(AlertPump, AGateStartedAgainSendsOnlyWhatTheStreamHasNot) {
    const std::string path = ::testing::TempDir() + "pump_mark_test.alerts";
    std::remove(path.c_str());
    test::RecordingBus bus;
    test::ManualClock clock;
    test::ScriptedNode host;
    host.running = {remote::kHostNode};
    std::vector<host::HostAlert> kept = {HostAlert(1, "a.exe"), HostAlert(2, "b.exe")};
    host.answer = [&](NodeRequest& c) {
        const std::string newest = le::Bytes32(kept.back().seq);
        c.AddResult(newest.data(), 4);
        for (const host::HostAlert& a : kept) {
            const std::string item = host::EncodeAlert(a);
            c.AddResult(item.data(), static_cast<uint32_t>(item.size()));
        }
    };
    const auto monitors = [&](AlertPump& pump) {
        std::vector<std::string> sent;
        pump.Poll();
        for (int k = 0; k < 5; ++k) {
            pump.Publish();
            for (const BusMessage& m : bus.Take()) {
                remote::AlertRecord a;
                if (remote::ParseAlert(m.payload, a)) sent.push_back(a.monitor);
                pump.OnAnswer(Stored(m.reply));
            }
        }
        return sent;
    };
    {
        AlertPump first(
            "m1", "", bus, host, clock, [](const std::string&) {}, path);
        kept.resize(1);
        EXPECT_EQ(monitors(first), std::vector<std::string>{"a.exe"});
    }
    kept = {HostAlert(1, "a.exe"), HostAlert(2, "b.exe")};
    host::HostAlert restarted = HostAlert(1, "c.exe");
    restarted.time += 60;
    kept.push_back(restarted);
    {
        AlertPump again(
            "m1", "", bus, host, clock, [](const std::string&) {}, path);
        EXPECT_EQ(monitors(again), (std::vector<std::string>{"b.exe", "c.exe"}));
    }
    AlertMark mark;
    ASSERT_TRUE(LoadAlertMark(path, mark));
    EXPECT_EQ(mark.time, restarted.time);
    EXPECT_EQ(mark.seq, 1u);
    for (const char* text : {"", "x 1\n", "0 5\n", "4294967296 1\n"}) {
        { std::ofstream(path, std::ios::trunc) << text; }
        EXPECT_FALSE(LoadAlertMark(path, mark)) << text;
    }
    AlertPump unread(
        "m1", "", bus, host, clock, [](const std::string&) {}, path);
    EXPECT_EQ(monitors(unread).size(), 3u);
    std::remove(path.c_str());
}

class StdHash final : public KeyedHash {
public:
    [[nodiscard]] std::string HmacSha256Hex(const std::string& key,
                                            const std::string& data) const override {
        std::string out;
        for (int i = 0; i < 4; ++i)
            out += std::to_string(std::hash<std::string>()(std::to_string(i) + key + "|" + data));
        return out;
    }
};

TEST(AlertPump, IdKeyPerMachineAndNoneWithoutAPassword) {
    const StdHash hash;
    EXPECT_EQ(AlertIdKey(hash, "", "m1"), "");
    const std::string k1 = AlertIdKey(hash, "pw", "m1");
    EXPECT_EQ(k1.size(), 16u);
    EXPECT_NE(k1, AlertIdKey(hash, "pw", "m2"));
    EXPECT_NE(k1, AlertIdKey(hash, "pw2", "m1"));
}

} // namespace
} // namespace pm::gate
