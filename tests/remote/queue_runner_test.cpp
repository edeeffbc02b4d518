// The gate's queued requests against a real nats-server with JetStream on a loopback port: the
// console queues through its own code and bus, the gate's QueueRunner pulls over the project's
// own connection, and what the streams hold afterwards is read back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>

#include "outside/pmconsole/fleet/connection_bus.h"
#include "outside/pmconsole/fleet/fleet_queue.h"
#include "outside/pmgate/gate_bus.h"
#include "outside/pmgate/queue_runner.h"
#include "shared/nats/connection.h"
#include "shared/nats/server_stream_posix.h"
#include "shared/remote/alerts.h"
#include "shared/remote/operations.h"
#include "shared/remote/subjects.h"
#include "tests/nats/nats_server_posix.h"

namespace pm::gate {
namespace {

constexpr const char* kMachine = "m1";

// One request's answer over the console's bus, or "" after 5 s.
std::string Ask(console::FleetBus& bus, const std::string& subject, const std::string& payload) {
    const std::vector<std::string> answers = bus.Gather(subject, payload, 5000, 0, 1);
    return answers.empty() ? std::string() : answers[0];
}

// The last record of a request id in PROCMGR_RESULTS.
bool Result(console::FleetBus& bus, const std::string& id, remote::QueueResult& r) {
    std::string subject, data;
    return remote::StoredMessage(
               Ask(bus, std::string("$JS.API.STREAM.MSG.GET.") + remote::kResultStream,
                   "{\"last_by_subj\":\"" + remote::ResultSubject(kMachine, id) + "\"}"),
               subject, data) &&
           remote::ParseResult(data, r);
}

bool QueueEmpty(console::FleetBus& bus) {
    uint64_t first = 0, last = 0;
    return remote::StreamRange(
               Ask(bus, std::string("$JS.API.STREAM.INFO.") + remote::kQueueStream, ""), first,
               last) &&
           last < first;
}

uint64_t UtcMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

// Queued in this order, taken one at a time: when the last is done, the others were handled.
// The machine's clock right, or ten minutes ahead or behind: the servers' clock decides.
class QueueRunnerServer : public testing::TestWithParam<int64_t> {};

TEST_P(QueueRunnerServer, RunsOnceNeverAfterAStartOrPastItsExpiry) {
    if (!test::HaveNatsServer()) GTEST_SKIP() << "nats-server is not installed";
    test::NatsServer server("", {"-js"});
    ASSERT_TRUE(server.Started());
    std::string error;
    console::RemoteSettings settings;
    settings.servers = {server.Url()};
    auto console_link =
        console::ConnectOwn(settings, "", std::make_unique<nats::PosixDialer>(), error);
    ASSERT_NE(console_link, nullptr) << error;
    console::FleetBus& link = *dynamic_cast<console::FleetBus*>(console_link.get());
    // One copy: a single server keeps one.
    ASSERT_TRUE(console::SetupQueueStreams(link, 1, error)) << error;

    std::vector<std::string> ran; // read once the runner's thread has ended
    QueueHooks hooks;
    hooks.connected = [] { return true; };
    hooks.node_running = [](const std::string&) { return true; };
    nats::ConnectionSettings gate_settings;
    nats::ServerUrl url;
    ASSERT_TRUE(nats::ParseServerUrl(server.Url(), url, error)) << error;
    gate_settings.servers = {url};
    nats::PosixDialer dialer;
    nats::Connection gate(gate_settings, dialer);
    hooks.publish = [&](const BusMessage& m) {
        // An empty subject would cost the gate its connection.
        EXPECT_FALSE(m.subject.empty()) << "published in answer to " << m.reply;
        gate.SendLines(BusLines(m));
    };
    hooks.run = [&](const remote::QueuedRequest& q, QueueHooks::Done done) {
        ran.push_back(q.id);
        done(0, "reply to " + q.request);
    };
    const int64_t moved_ms = GetParam();
    hooks.now_ms = [moved_ms] { return UtcMs() + static_cast<uint64_t>(moved_ms); };
    hooks.trace = [](const std::string&) {};
    QueueRunner runner(kMachine, hooks);
    struct Case {
        const char* what;
        int started_before; // 1: by a gate that died right after recording it; 2: by this
                            // runner, whose answer was lost
        uint64_t lives_ms;
        remote::QueueState state;
    };
    const Case cases[] = {
        {"started before", 1, 300000, remote::QueueState::kStarted},
        {"past its expiry", 0, 200, remote::QueueState::kExpired}, // once the runner starts
        {"its start's answer lost", 2, 300000, remote::QueueState::kDone},
        {"runs once", 0, 300000, remote::QueueState::kDone},
    };
    const uint64_t now = UtcMs();
    std::vector<remote::QueuedRequest> queued;
    for (const Case& c : cases) {
        remote::QueuedRequest q;
        q.id = remote::RequestId(now * 4 + queued.size());
        q.machine = kMachine;
        q.subject = remote::RequestSubject(kMachine, remote::kAgentNode, 0x73124535);
        q.words = {"exec", "--", "cmd", "/c", "echo", c.what};
        q.by = "tester";
        q.queued_ms = now;
        q.expires_ms = now + c.lives_ms;
        q.request = std::string("packed ") + c.what;
        if (c.started_before != 0) {
            remote::QueueResult r;
            r.request = q;
            r.request.request.clear();
            std::string msg_id = "an earlier gate's";
            if (c.started_before == 2) msg_id = runner.StartMessageId(q.id);
            std::string answer;
            ASSERT_TRUE(link.AskWithHeaders(remote::ResultSubject(kMachine, q.id),
                                            std::string("NATS/1.0\r\n") +
                                                remote::kExpectedLastSubjectSeqHeader + ": 0\r\n" +
                                                remote::kMsgIdHeader + ": " + msg_id + "\r\n\r\n",
                                            remote::ResultJson(r), 5000, answer));
            ASSERT_TRUE(remote::PublishStored(answer, remote::kResultStream)) << answer;
        }
        ASSERT_EQ(console::QueueRequest(link, q, error), 0) << error;
        queued.push_back(q);
    }
    usleep(300000); // past the short expiry
    gate.Subscribe(std::string(remote::kSubjectRoot) + "." + kMachine + ".acks.>",
                   [&](nats::Message& m) { runner.OnAnswer(m); });
    ASSERT_EQ(gate.Open(error), nats::Connection::Start::kConnected) << error;
    runner.Kick();
    runner.Start();

    remote::QueueResult last;
    for (int k = 0; k < 100; ++k) { // 5 s at most; well under one here
        if (Result(link, queued.back().id, last) && last.state == remote::QueueState::kDone) break;
        usleep(50000);
    }
    // Someone else's messages on the subjects the runner's questions are answered on (while it
    // waits in a pull): none is taken for a request, nothing is published in answer, and the
    // next request still runs once.
    const std::string acks = std::string(remote::kSubjectRoot) + "." + kMachine + ".acks.q";
    for (int n = 1; n <= 40; ++n)
        gate.Publish(acks + std::to_string(n), "", "not a request");
    remote::QueuedRequest again = queued.back();
    again.id = remote::RequestId(now * 4 + 9);
    ASSERT_EQ(console::QueueRequest(link, again, error), 0) << error;
    remote::QueueResult after;
    for (int k = 0; k < 100; ++k) {
        if (Result(link, again.id, after) && after.state == remote::QueueState::kDone) break;
        usleep(50000);
    }
    EXPECT_EQ(after.state, remote::QueueState::kDone);
    runner.Stop();
    gate.Close();
    for (size_t i = 0; i < queued.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        remote::QueueResult r;
        ASSERT_TRUE(Result(link, queued[i].id, r));
        EXPECT_EQ(r.state, cases[i].state);
    }
    EXPECT_EQ(ran, (std::vector<std::string>{queued[2].id, queued.back().id, again.id}));
    EXPECT_EQ(last.reply, "reply to packed runs once");
    EXPECT_EQ(last.gate_status, 0u);
    EXPECT_TRUE(QueueEmpty(link)) << "a request still waits (not acknowledged)";
}

INSTANTIATE_TEST_SUITE_P(MachineClock, QueueRunnerServer, testing::Values(0, 600000, -600000));

// A pull that expires at the server (408) is made again at once; one that finds nothing
// waiting (404) ends the round until the next look (2 s, or a kick). A kick (the link connected
// again) while a pull waits unanswered makes a new pull at once.
TEST(QueueRunnerHooks, PullsAgainAfterAnExpiryOrAReconnectNotWhenNothingWaits) {
    std::atomic<int> pulls{0};
    QueueRunner* runner = nullptr;
    QueueHooks hooks;
    hooks.connected = [] { return true; };
    hooks.node_running = [](const std::string&) { return true; };
    hooks.publish = [&](const BusMessage& question) {
        const int n = ++pulls;
        if (n > 2) return; // unanswered: a round that went on
        nats::Message m;
        m.subject = question.reply;
        m.headers =
            n == 1 ? "NATS/1.0 408 Request Timeout\r\n\r\n" : "NATS/1.0 404 No Messages\r\n\r\n";
        runner->OnAnswer(m);
    };
    hooks.trace = [](const std::string&) {};
    QueueRunner r(kMachine, hooks);
    runner = &r;
    r.Kick();
    r.Start();
    usleep(500000);
    EXPECT_EQ(pulls.load(), 2);
    r.Kick();
    usleep(300000);
    EXPECT_EQ(pulls.load(), 3); // waits unanswered
    r.Kick();
    usleep(300000);
    r.Stop();
    EXPECT_EQ(pulls.load(), 4);
}

// A request expiring in an hour by the machine's clock.
remote::QueuedRequest HourRequest(uint64_t n) {
    remote::QueuedRequest q;
    q.id = remote::RequestId(n);
    q.machine = kMachine;
    q.subject = remote::RequestSubject(kMachine, remote::kAgentNode, 0x73124533);
    q.queued_ms = UtcMs();
    q.expires_ms = q.queued_ms + 3600000;
    q.request = "packed";
    return q;
}

// A runner whose questions `answer` scripts (`pull`: the pulls so far; false leaves the
// question unanswered), run until it has pulled `pulls` times or `wait_ms` passed; how many
// requests it ran (and in `pulled`, how many pulls it made).
using Script = std::function<bool(const BusMessage& question, int pull, nats::Message& m)>;
int ScriptedRuns(const Script& answer, int pulls, int wait_ms, int* pulled = nullptr) {
    std::atomic<int> pulls_made{0}, runs{0};
    QueueRunner* runner = nullptr;
    QueueHooks hooks;
    hooks.connected = [] { return true; };
    hooks.node_running = [](const std::string&) { return true; };
    hooks.publish = [&](const BusMessage& question) {
        if (question.reply.empty()) return; // +ACK
        nats::Message m;
        m.subject = question.reply;
        const bool pull = question.subject == remote::QueueNextSubject(kMachine);
        if (answer(question, pull ? ++pulls_made : pulls_made.load(), m)) runner->OnAnswer(m);
    };
    hooks.run = [&](const remote::QueuedRequest&, QueueHooks::Done done) {
        ++runs;
        done(0, "reply");
    };
    hooks.now_ms = UtcMs;
    hooks.trace = [](const std::string&) {};
    QueueRunner r(kMachine, hooks);
    runner = &r;
    r.Kick();
    r.Start();
    for (int k = 0; k < wait_ms / 20 && pulls_made.load() < pulls; ++k)
        usleep(20000);
    r.Stop();
    if (pulled != nullptr) *pulled = pulls_made.load();
    return runs.load();
}

constexpr const char* kRecordStored = R"({"stream":"PROCMGR_RESULTS","seq":3})";

// A request runs only as the consumer delivers it (the queue's subject, the consumer's ack
// subject as reply): the same request published by someone else to the pull's reply subject
// is dropped, whatever it asks.
TEST(QueueRunnerHooks, RunsOnlyWhatTheConsumerDelivers) {
    const remote::QueuedRequest q = HourRequest(42);
    const std::string ack = "$JS.ACK." + std::string(remote::kQueueStream) + "." +
                            remote::QueueConsumer(kMachine) + ".1";
    int pulled = 0;
    const int runs = ScriptedRuns(
        [&](const BusMessage& question, int n, nats::Message& m) {
            if (question.subject != remote::QueueNextSubject(kMachine)) {
                m.payload = kRecordStored;
                return true;
            }
            if (n == 1) m.reply = ack; // someone else's, on the pull's reply subject
            if (n == 2) m.subject = remote::QueueSubject(kMachine), m.reply = ack;
            if (n <= 2) m.payload = remote::QueuedJson(q);
            if (n > 2) m.headers = "NATS/1.0 404 No Messages\r\n\r\n";
            return true;
        },
        3, 2000, &pulled);
    EXPECT_EQ(pulled, 3);
    EXPECT_EQ(runs, 1);
}

// ScriptedRuns with `q` delivered (with `ack`) on the first `deliveries` pulls and nothing
// waiting after; the consumer's information answered `info` ("": never) and each record as
// `record` says (false: unanswered).
using RecordScript = std::function<bool(const BusMessage& question, nats::Message& m)>;
int DeliveredRuns(const remote::QueuedRequest& q, const std::string& ack, int deliveries,
                  const std::string& info, const RecordScript& record, int wait_ms,
                  int* pulled = nullptr) {
    return ScriptedRuns(
        [&](const BusMessage& question, int n, nats::Message& m) {
            if (question.subject == remote::QueueNextSubject(kMachine)) {
                if (n <= deliveries)
                    m.subject = remote::QueueSubject(kMachine), m.reply = ack,
                    m.payload = remote::QueuedJson(q);
                else
                    m.headers = "NATS/1.0 404 No Messages\r\n\r\n";
                return true;
            }
            if (question.subject != remote::QueueConsumerInfoSubject(kMachine))
                return record(question, m);
            m.payload = info;
            return !info.empty();
        },
        deliveries + 1, wait_ms, pulled);
}

// A request (living `lives_ms` by the machine's clock) delivered three times whose first
// "started" record is stored while its answer is lost; later records come back duplicates.
// How many times it ran; the records' message ids (the starts', then any other) in `ids`.
int LostStartAnswer(uint64_t lives_ms, std::vector<std::string>& ids) {
    remote::QueuedRequest q = HourRequest(44);
    q.expires_ms = q.queued_ms + lives_ms;
    const std::string ack = "$JS.ACK." + std::string(remote::kQueueStream) + "." +
                            remote::QueueConsumer(kMachine) + ".1";
    int pulled = 0, starts = 0;
    const int runs = DeliveredRuns(
        q, ack, 3, "{}",
        [&](const BusMessage& question, nats::Message& m) {
            bool start = false;
            std::string id;
            for (const auto& h : question.headers) {
                start = start || h.first == remote::kExpectedLastSubjectSeqHeader;
                if (h.first == remote::kMsgIdHeader) id = h.second;
            }
            ids.push_back((start ? "start " : "") + id);
            if (start && ++starts == 1) return false; // stored; the answer lost
            m.payload =
                start ? R"({"stream":"PROCMGR_RESULTS","seq":3,"duplicate":true})" : kRecordStored;
            return true;
        },
        9000, &pulled);
    EXPECT_EQ(pulled, 4);
    return runs;
}

// The "started" record stored while its answer was lost: the request comes again, the record
// comes back a duplicate of this runner's own, and it runs then; once. Expired by then, the
// record is made "expired". Another runner (a gate started again) has another id, so a record
// of an earlier run is refused, never taken as its own.
TEST(QueueRunnerHooks, AStartWhoseAnswerWasLostRunsOnceWhenItComesAgain) {
    std::vector<std::string> ids;
    EXPECT_EQ(LostStartAnswer(3600000, ids), 1);
    ASSERT_EQ(ids.size(), 4u); // two starts, the "done" record, a start
    EXPECT_TRUE(ids[0] == ids[1] && ids[1] == ids[3] && ids[0].size() > 6) << ids[0];
    ids.clear();
    EXPECT_EQ(LostStartAnswer(3000, ids), 0); // past its expiry after the 5 s wait
    ASSERT_EQ(ids.size(), 4u);
    EXPECT_EQ(ids[2], ids[1].substr(6) + "-expired"); // not a start: over the record stored
    QueueHooks none;
    const std::string id = remote::RequestId(44);
    EXPECT_NE(QueueRunner(kMachine, none).StartMessageId(id),
              QueueRunner(kMachine, none).StartMessageId(id));
}

// How many times a request delivered `deliveries` times (stream sequence 17, stored now,
// expiring in an hour by the machine's clock) runs when the consumer's information answers
// `info` ("": never).
int RunsWith(const std::string& info, int deliveries = 1) {
    const remote::QueuedRequest q = HourRequest(43);
    const std::string ack = "$JS.ACK." + std::string(remote::kQueueStream) + "." +
                            remote::QueueConsumer(kMachine) + ".1.17.1." +
                            std::to_string(q.queued_ms * 1000000) + ".0";
    return DeliveredRuns(
        q, ack, deliveries, info,
        [](const BusMessage&, nats::Message& m) {
            m.payload = kRecordStored;
            return true;
        },
        8000 + (deliveries - 1) * 5000); // an unanswered question waits 5 s
}

// Servers that never say (an older server, a login without the consumer's information): the
// machine's clock decides, from the second delivery (the first may have come from a server
// just started again). A delivery of another request says nothing of this one's age.
TEST(QueueRunnerHooks, MachineClockWhereTheServersDoNotSay) {
    EXPECT_EQ(RunsWith("", 1), 0);
    EXPECT_EQ(RunsWith("", 2), 1);
    EXPECT_EQ(RunsWith(R"({"delivered":{"consumer_seq":1,"stream_seq":16,)"
                       R"("last_active":"2100-01-01T00:00:00Z"}})"),
              1);
    EXPECT_EQ(RunsWith(R"({"delivered":{"consumer_seq":1,"stream_seq":17,)"
                       R"("last_active":"2100-01-01T00:00:00Z"}})"),
              0);
}

} // namespace
} // namespace pm::gate
