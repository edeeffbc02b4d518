// The alert pump with a scripted monitor host and a recording bus: the host asked from its
// newest alert seen, one alert in flight at a time until the stream says it stored it, and the
// id key that keeps another machine's login from taking this one's ids.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <functional>

#include "outside/pmgate/alert_pump.h"
#include "shared/base/endian.h"
#include "shared/monitor/host_alerts.h"
#include "shared/remote/operations.h"
#include "shared/remote/queue.h"
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

// The stream as its leader answers a machine's alerts: the subject's last sequence said is
// checked first (refused with the one it has), then the message id (a duplicate, even of an
// alert it lost, as nats-server remembers some); one to be lost is answered stored all the same.
struct FakeStream {
    std::vector<std::pair<uint64_t, std::string>> kept; // sequence, alert
    std::map<std::string, uint64_t> ids;
    uint64_t seq = 0;
    bool lose_next = false;

    nats::Message Answer(const BusMessage& sent) {
        nats::Message m;
        m.subject = sent.reply;
        const uint64_t last = kept.empty() ? 0 : kept.back().first;
        if (HeaderOf(sent, remote::kExpectedLastSubjectSeqHeader) != std::to_string(last)) {
            m.payload = R"({"error":{"code":400,"err_code":10071,"description":"wrong last )"
                        R"(sequence: )" +
                        std::to_string(last) + R"("},"stream":"PROCMGR_ALERTS","seq":0})";
            return m;
        }
        const std::string id = HeaderOf(sent, remote::kMsgIdHeader);
        if (const auto it = ids.find(id); it != ids.end()) {
            m.payload = R"({"stream":"PROCMGR_ALERTS","seq":)" + std::to_string(it->second) +
                        R"(,"duplicate":true})";
            return m;
        }
        ids[id] = ++seq;
        if (!lose_next) kept.push_back({seq, sent.payload});
        lose_next = false;
        m.payload = R"({"stream":"PROCMGR_ALERTS","seq":)" + std::to_string(seq) + "}";
        return m;
    }
    std::string Monitors() const {
        std::string out;
        for (const auto& [seq, payload] : kept) {
            remote::AlertRecord a;
            if (remote::ParseAlert(payload, a)) out += a.monitor + " ";
        }
        return out;
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
    const StdHash hash;
    const AlertIds ids(hash, "pw", "m1");
    AlertPump pump("m1", ids, bus, host, clock, [](const std::string&) {});
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
    EXPECT_EQ(HeaderOf(sent[0], remote::kMsgIdHeader), ids.Tagged(a.MessageId()));

    // Nothing more while it is in flight; an answer on another subject stores nothing.
    pump.Publish();
    EXPECT_TRUE(pump.OnAnswer(Stored(prefix + "9")));
    EXPECT_FALSE(pump.OnAnswer(Stored("procmgr.m1.acks.1")));
    pump.Publish();
    EXPECT_TRUE(bus.Take().empty());
    // Overdue: the same alert again a moment later, its answer asked elsewhere.
    clock.now_ms += 5000;
    pump.Publish();
    EXPECT_TRUE(bus.Take().empty());
    clock.now_ms += remote::kAlertRetryMs;
    pump.Publish();
    sent = bus.Take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(HeaderOf(sent[0], remote::kMsgIdHeader), ids.Tagged(a.MessageId()));
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
    AlertPump again("m1", ids, bus, host, clock, [](const std::string&) {});
    again.Poll();
    again.Publish();
    sent = bus.Take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].reply.rfind("procmgr.m1.acks.a", 0), 0u);
    EXPECT_NE(sent[0].reply.substr(0, prefix.size()), prefix);
}

// An alert answered stored that the stream lacks is found by the next write, and goes again
// before it: with its id (a duplicate, the stream remembering the id), then with a new one.
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
    AlertPump pump("m1", AlertIds(), bus, host, clock, [&](const std::string&) { ++told; });
    FakeStream stream;
    // Publishes once and has the stream answer: the monitor of the alert sent ("-": none).
    const auto step = [&]() {
        pump.Publish();
        const std::vector<BusMessage> sent = bus.Take();
        if (sent.size() != 1) return std::string("-");
        EXPECT_TRUE(pump.OnAnswer(stream.Answer(sent[0])));
        remote::AlertRecord a;
        return remote::ParseAlert(sent[0].payload, a) ? a.monitor : std::string("?");
    };
    pump.Poll();
    EXPECT_EQ(step(), "ping.exe");
    stream.lose_next = true;
    EXPECT_EQ(step(), "pong.exe");
    kept.push_back(HostAlert(3, "later.exe"));
    pump.Poll();
    EXPECT_EQ(step(), "later.exe"); // refused: the stream's last is ping.exe
    EXPECT_EQ(told, 1);
    EXPECT_EQ(step(), "-"); // a pause first
    clock.now_ms += remote::kAlertLossPauseMs;
    EXPECT_EQ(step(), "pong.exe");  // a duplicate
    EXPECT_EQ(step(), "later.exe"); // refused again
    EXPECT_EQ(told, 2);
    clock.now_ms += remote::kAlertLossPauseMs;
    EXPECT_EQ(step(), "pong.exe"); // with a new id: stored
    EXPECT_EQ(step(), "later.exe");
    EXPECT_EQ(step(), "-");
    clock.now_ms += remote::kAlertProveAfterMs;
    EXPECT_EQ(step(), "later.exe"); // the last, proven by its duplicate
    clock.now_ms += remote::kAlertProveAfterMs;
    EXPECT_EQ(step(), "-");
    EXPECT_EQ(stream.Monitors(), "ping.exe pong.exe later.exe ");
}

// A question the host never completes is given up on; its late answer changes nothing.
TEST(AlertPump, AQuestionWithoutAnswerIsAskedAgain) {
    test::RecordingBus bus;
    test::ManualClock clock;
    test::ScriptedNode host;
    host.running = {remote::kHostNode};
    AlertPump pump("m1", AlertIds(), bus, host, clock, [](const std::string&) {});
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

// The newest alert proven in the stream is kept: a gate started again sends only the host's
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
    // The alerts the pump sends (each once), the stream answering; proven in the stream
    // unless the gate stops before.
    const auto monitors = [&](AlertPump& pump, bool prove = true) {
        std::vector<std::string> sent;
        pump.Poll();
        for (int k = 0; k < 8; ++k) {
            pump.Publish();
            for (const BusMessage& m : bus.Take()) {
                remote::AlertRecord a;
                if (remote::ParseAlert(m.payload, a) && (sent.empty() || sent.back() != a.monitor))
                    sent.push_back(a.monitor);
                pump.OnAnswer(stream.Answer(m));
            }
            if (prove) clock.now_ms += remote::kAlertProveAfterMs;
        }
        return sent;
    };
    {
        AlertPump first(
            "m1", AlertIds(), bus, host, clock, [](const std::string&) {}, path);
        kept.resize(1);
        EXPECT_EQ(monitors(first), std::vector<std::string>{"a.exe"});
    }
    kept = {HostAlert(1, "a.exe"), HostAlert(2, "b.exe")};
    {
        // Stored, but the gate stops before it is proven: the next run sends it again.
        AlertPump stopped(
            "m1", AlertIds(), bus, host, clock, [](const std::string&) {}, path);
        EXPECT_EQ(monitors(stopped, false), std::vector<std::string>{"b.exe"});
    }
    host::HostAlert restarted = HostAlert(1, "c.exe");
    restarted.time += 60;
    kept.push_back(restarted);
    {
        AlertPump again(
            "m1", AlertIds(), bus, host, clock, [](const std::string&) {}, path);
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
        "m1", AlertIds(), bus, host, clock, [](const std::string&) {}, path);
    // Sent again from the first: the stream answers duplicates and stores none.
    EXPECT_EQ(monitors(unread), (std::vector<std::string>{"a.exe", "b.exe", "c.exe"}));
    EXPECT_EQ(stream.Monitors(), "a.exe b.exe c.exe ");
    std::remove(path.c_str());
}

// Each id's tag is its own: one seen (the stream names the last id it stored to anyone who
// asks) gives away neither the next id nor another machine's.
TEST(AlertPump, EachIdTaggedForItsMachineAndNoneWithoutAPassword) {
    const StdHash hash;
    EXPECT_EQ(AlertIds(hash, "", "m1").Tagged("m1-r-1"), "m1-r-1");
    EXPECT_EQ(AlertIds().Tagged("m1-r-1"), "m1-r-1");
    const AlertIds ids(hash, "pw", "m1");
    const std::string first = ids.Tagged("m1-r-1");
    ASSERT_EQ(first.size(), 6u + 1 + 16);
    EXPECT_EQ(first.rfind("m1-r-1.", 0), 0u);
    EXPECT_EQ(first, ids.Tagged("m1-r-1")); // sent again: the same id
    const auto tag = [](const std::string& id) { return id.substr(id.rfind('.') + 1); };
    EXPECT_NE(tag(first), tag(ids.Tagged("m1-r-2")));
    EXPECT_NE(first, AlertIds(hash, "pw", "m2").Tagged("m1-r-1"));
    EXPECT_NE(first, AlertIds(hash, "pw2", "m1").Tagged("m1-r-1"));
}

} // namespace
} // namespace pm::gate
