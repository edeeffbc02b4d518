// The alert pump with a scripted monitor host and a recording bus: the host asked from its
// newest alert seen, one alert in flight at a time until the stream says it stored it, and the
// id key that keeps another machine's login from taking this one's ids.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
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

// The stream as the pump sees it: an alert published is kept (unless it is to be lost, answered
// stored all the same); a message id it had is a duplicate, even one whose alert it lost (as
// nats-server remembers them); a read back is answered with the newest kept.
struct FakeStream {
    std::vector<std::string> kept;
    std::set<std::string> ids;
    bool lose_next = false;

    nats::Message Answer(const BusMessage& sent) {
        nats::Message m;
        m.subject = sent.reply;
        if (sent.subject == remote::AlertReadBackSubject("m1")) {
            m.headers = kept.empty() ? "NATS/1.0 404 Message Not Found\r\n\r\n"
                                     : "NATS/1.0\r\nNats-Stream: PROCMGR_ALERTS\r\n\r\n";
            if (!kept.empty()) m.payload = kept.back();
            return m;
        }
        const bool dup = !ids.insert(HeaderOf(sent, remote::kMsgIdHeader)).second;
        if (!dup && !lose_next) kept.push_back(sent.payload);
        lose_next = false;
        m.payload = dup ? R"({"stream":"PROCMGR_ALERTS","seq":13,"duplicate":true})"
                        : R"({"stream":"PROCMGR_ALERTS","seq":12})";
        return m;
    }
};

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
    // Answers asked under a prefix of the pump's own that nobody can guess.
    const std::string prefix = sent[0].reply.substr(0, sent[0].reply.rfind('-') + 1);
    EXPECT_EQ(prefix.rfind("procmgr.m1.acks.a", 0), 0u);
    EXPECT_EQ(sent[0].reply, prefix + "1");
    remote::AlertRecord a;
    ASSERT_TRUE(remote::ParseAlert(sent[0].payload, a));
    EXPECT_EQ(a.machine, "m1");
    EXPECT_EQ(a.monitor, "ping.exe");
    EXPECT_EQ(a.code, 0x20001u);
    EXPECT_EQ(HeaderOf(sent[0], remote::kMsgIdHeader), a.MessageId() + ".k1");

    // Nothing more while it is in flight; an answer on another subject stores nothing.
    pump.Publish();
    EXPECT_TRUE(pump.OnAnswer(Stored(prefix + "9")));
    EXPECT_FALSE(pump.OnAnswer(Stored("procmgr.m1.acks.1")));
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
    // Another run of the gate asks under another prefix.
    bus.connected = true;
    host.running = {remote::kHostNode};
    AlertPump again("m1", "k1", bus, host, clock, [](const std::string&) {});
    again.Poll();
    again.Publish();
    sent = bus.Take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].reply.rfind("procmgr.m1.acks.a", 0), 0u);
    EXPECT_NE(sent[0].reply.substr(0, prefix.size()), prefix);
}

// An alert answered stored that the stream does not show when read back goes again, before
// anything newer of the machine; the stream's newest shown confirms it. A read back without an
// answer is asked again later.
TEST(AlertPump, AStoredAlertTheStreamLostGoesAgainBeforeTheNext) {
    test::RecordingBus bus;
    test::ManualClock clock;
    test::ScriptedNode host;
    host.running = {remote::kHostNode};
    std::vector<host::HostAlert> kept = {HostAlert(1, "ping.exe"), HostAlert(2, "pong.exe")};
    host.answer = [&](NodeRequest& c) {
        uint32_t after = 0;
        EXPECT_TRUE(c.ParamU32(0, &after));
        const std::string newest = le::Bytes32(kept.back().seq);
        c.AddResult(newest.data(), 4);
        for (const host::HostAlert& a : kept) {
            if (a.seq <= after) continue;
            const std::string item = host::EncodeAlert(a);
            c.AddResult(item.data(), static_cast<uint32_t>(item.size()));
        }
    };
    int told = 0;
    AlertPump pump("m1", "", bus, host, clock, [&](const std::string&) { ++told; });
    FakeStream stream;
    // Publishes once and answers: what went ("-" nothing, "read" a read back, else a monitor).
    const auto step = [&](bool answer = true) {
        pump.Publish();
        const std::vector<BusMessage> sent = bus.Take();
        if (sent.size() != 1) return std::string("-");
        if (answer) {
            EXPECT_TRUE(pump.OnAnswer(stream.Answer(sent[0])));
        }
        remote::AlertRecord a;
        return remote::ParseAlert(sent[0].payload, a) ? a.monitor : std::string("read");
    };
    pump.Poll();
    EXPECT_EQ(step(), "ping.exe");
    stream.lose_next = true;
    EXPECT_EQ(step(), "pong.exe");
    kept.push_back(HostAlert(3, "later.exe"));
    clock.now_ms += remote::kAlertBatchMs;
    pump.Poll();
    EXPECT_EQ(step(), "-"); // later.exe waits for the read back
    clock.now_ms += remote::kAlertReadBackAfterMs - remote::kAlertBatchMs;
    // No read of a round shows pong.exe: it goes again with its id (a duplicate: the stream
    // remembers the id), round after round, then with a new id, stored anew.
    for (uint32_t round = 1; round <= remote::kAlertRoundsBeforeNewId; ++round) {
        for (uint32_t k = 0; k < remote::kAlertReadsPerRound; ++k)
            EXPECT_EQ(step(), "read") << round;
        EXPECT_EQ(step(), "pong.exe") << round;
        clock.now_ms += remote::kAlertReadBackAfterMs;
    }
    EXPECT_EQ(told, static_cast<int>(remote::kAlertRoundsBeforeNewId) + 1);
    EXPECT_EQ(step(), "read"); // shows pong.exe
    EXPECT_EQ(step(), "later.exe");
    clock.now_ms += remote::kAlertReadBackAfterMs;
    EXPECT_EQ(step(false), "read");
    clock.now_ms += 5000;
    EXPECT_EQ(step(), "-"); // the unanswered read back is asked again later
    clock.now_ms += remote::kAlertReadBackAfterMs;
    EXPECT_EQ(step(), "read");
    clock.now_ms += remote::kAlertReadBackAfterMs;
    EXPECT_EQ(step(), "-"); // all confirmed
    std::string kept_monitors;
    for (const std::string& payload : stream.kept) {
        remote::AlertRecord a;
        if (remote::ParseAlert(payload, a)) kept_monitors += a.monitor + " ";
    }
    EXPECT_EQ(kept_monitors, "ping.exe pong.exe later.exe ");
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
    FakeStream stream;
    // What the pump sends, the stream answering; read back unless the gate stops before.
    const auto monitors = [&](AlertPump& pump, bool read_back = true) {
        std::vector<std::string> sent;
        pump.Poll();
        for (int k = 0; k < 5; ++k) {
            pump.Publish();
            for (const BusMessage& m : bus.Take()) {
                remote::AlertRecord a;
                if (remote::ParseAlert(m.payload, a)) sent.push_back(a.monitor);
                pump.OnAnswer(stream.Answer(m));
            }
            if (read_back) clock.now_ms += remote::kAlertReadBackAfterMs;
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
    {
        // Stored, but the gate stops before reading it back: the next run sends it again.
        AlertPump stopped(
            "m1", "", bus, host, clock, [](const std::string&) {}, path);
        EXPECT_EQ(monitors(stopped, false), std::vector<std::string>{"b.exe"});
    }
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
    // Sent again from the first, until a read back shows the stream's newest (c.exe) is one of
    // them: that one is not sent.
    EXPECT_EQ(monitors(unread), (std::vector<std::string>{"a.exe", "b.exe"}));
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
