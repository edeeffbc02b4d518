// The gate's queued requests against a real nats-server with JetStream on a loopback port: the
// console queues through its own code, the gate's QueueRunner pulls over a plain socket speaking
// the protocol with the gate's own pieces, and what the streams hold afterwards is read back.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "outside/pmconsole/fleet/fleet_queue.h"
#include "outside/pmgate/gate_bus.h"
#include "outside/pmgate/queue_runner.h"
#include "shared/nats/client_state.h"
#include "shared/remote/operations.h"
#include "shared/remote/subjects.h"

namespace pm::gate {
namespace {

constexpr const char* kMachine = "m1";
constexpr const char* kInbox = "_INBOX.qt.";

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

// One nats-server with JetStream in a directory of its own, stopped and removed at the end.
struct Server {
    Server() {
        // A free port: the one the system gives a socket bound to port 0.
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = Loopback(0);
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        close(fd);
        char tmpl[] = "/tmp/pm-queue-XXXXXX";
        if (port == 0 || mkdtemp(tmpl) == nullptr) return;
        dir = tmpl;
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM); // the server ends with the test, even a crashed one
            const std::string p = std::to_string(port), log = dir + "/server.log";
            freopen(log.c_str(), "w", stderr);
            execlp("nats-server", "nats-server", "-a", "127.0.0.1", "-p", p.c_str(), "-js", "-sd",
                   dir.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Server() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status = 0;
            for (int k = 0; k < 100 && waitpid(pid, &status, WNOHANG) == 0; ++k)
                usleep(50000);
            if (kill(pid, SIGKILL) == 0) waitpid(pid, &status, 0);
        }
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }
    pid_t pid = -1;
    int port = 0;
    std::string dir;
};

// The test's connection: its own requests on _INBOX.qt.<n>, everything else to the runner.
class Link final : public console::FleetBus, public nats::ProtocolSink {
public:
    void SetRunner(QueueRunner* runner) {
        std::lock_guard<std::mutex> hold(lock_);
        runner_ = runner;
    }

    bool Open(int port) {
        const sockaddr_in a = Loopback(port);
        for (int k = 0; k < 100; ++k) { // the server takes clients within a few seconds
            fd_ = socket(AF_INET, SOCK_STREAM, 0);
            if (connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) break;
            close(fd_);
            fd_ = -1;
            usleep(50000);
        }
        if (fd_ < 0) return false;
        reader_ = std::thread([this] {
            uint8_t buf[65536];
            ssize_t n;
            while ((n = recv(fd_, buf, sizeof buf, 0)) > 0 &&
                   parser_.Feed(buf, static_cast<size_t>(n), *this)) {
            }
        });
        nats::ClientState state;
        nats::ConnectOptions options;
        options.name = "queue-test";
        std::string lines = state.ConnectLines(options);
        for (const std::string& s : {std::string(kInbox) + ">", std::string(remote::kSubjectRoot) +
                                                                    "." + kMachine + ".acks.>"})
            lines += state.SubLine(state.Subscribe(s));
        Send(lines + "PING\r\n");
        std::unique_lock<std::mutex> hold(lock_);
        return wake_.wait_for(hold, std::chrono::seconds(5), [this] { return pongs_ >= 2; });
    }
    ~Link() override {
        if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) close(fd_);
    }
    void Send(const std::string& lines) {
        std::lock_guard<std::mutex> hold(write_);
        for (size_t at = 0; at < lines.size();) {
            const ssize_t n = send(fd_, lines.data() + at, lines.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return;
            at += static_cast<size_t>(n);
        }
    }
    // A request with its reply subject; the answer's payload, or "" after 5 s.
    std::string Ask(const std::string& subject, const std::string& payload) {
        std::unique_lock<std::mutex> hold(lock_);
        const std::string inbox = kInbox + std::to_string(++asks_);
        hold.unlock();
        Send(nats::ClientState::PubLines(subject, inbox, payload));
        hold.lock();
        wake_.wait_for(hold, std::chrono::seconds(5), [&] { return answers_.count(inbox) != 0; });
        return answers_[inbox];
    }
    // The last record of a request id in PROCMGR_RESULTS.
    bool Result(const std::string& id, remote::QueueResult& r) {
        std::string subject, data;
        return remote::StoredMessage(
                   Ask(std::string("$JS.API.STREAM.MSG.GET.") + remote::kResultStream,
                       "{\"last_by_subj\":\"" + remote::ResultSubject(kMachine, id) + "\"}"),
                   subject, data) &&
               remote::ParseResult(data, r);
    }
    bool QueueEmpty() {
        uint64_t first = 0, last = 0;
        return remote::StreamRange(
                   Ask(std::string("$JS.API.STREAM.INFO.") + remote::kQueueStream, ""), first,
                   last) &&
               last < first;
    }

    std::vector<std::string> Gather(const std::string& subject, const std::string& payload,
                                    uint32_t, uint32_t, size_t) override {
        const std::string answer = Ask(subject, payload);
        return answer.empty() ? std::vector<std::string>{} : std::vector<std::string>{answer};
    }
    console::WireReply ExchangeWith(const std::string&, const console::WireRequest&) override {
        return {};
    }
    bool AskPresence() override { return false; }
    bool NextPresence(std::string&, std::string&, uint32_t) override { return false; }
    bool SetupAlerts(uint32_t, std::string&) override { return false; }
    bool ReadAlerts(const console::AlertReading&, const console::AlertSink&,
                    std::string&) override {
        return false;
    }
    uint64_t NowMs() override { return 0; }

private:
    void OnInfo(const std::string&) override {}
    void OnMessage(nats::Message& m) override {
        std::lock_guard<std::mutex> hold(lock_);
        if (m.subject.compare(0, std::strlen(kInbox), kInbox) != 0) {
            if (runner_ != nullptr) runner_->OnAnswer(m);
            return;
        }
        answers_[m.subject] = m.payload;
        wake_.notify_all();
    }
    void OnPing() override { Send("PONG\r\n"); }
    void OnPong() override {
        std::lock_guard<std::mutex> hold(lock_);
        ++pongs_;
        wake_.notify_all();
    }
    void OnError(const std::string& text) override { ADD_FAILURE() << "-ERR " << text; }

    QueueRunner* runner_ = nullptr;
    int fd_ = -1;
    std::thread reader_;
    nats::ProtocolParser parser_;
    std::mutex lock_, write_;
    std::condition_variable wake_;
    int pongs_ = 0;
    uint64_t asks_ = 0;
    std::map<std::string, std::string> answers_;
};

uint64_t UtcMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

// Queued in this order, taken one at a time: when the last is done, the others were handled.
TEST(QueueRunnerServer, RunsOnceNeverAfterAStartOrPastItsExpiry) {
    if (std::system("command -v nats-server >/dev/null") != 0)
        GTEST_SKIP() << "nats-server is not installed";
    Server server;
    ASSERT_GT(server.pid, 0);
    Link link;
    ASSERT_TRUE(link.Open(server.port)) << "the server did not take the connection";
    std::string error;
    // One copy: a single server keeps one.
    ASSERT_TRUE(console::SetupQueueStreams(link, 1, error)) << error;

    struct Case {
        const char* what;
        bool started_before; // by a gate that died right after recording it
        int64_t expires_in_ms;
        remote::QueueState state;
    };
    const Case cases[] = {
        {"started before", true, 3600000, remote::QueueState::kStarted},
        {"past its expiry", false, -1000, remote::QueueState::kExpired},
        {"runs once", false, 3600000, remote::QueueState::kDone},
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
        q.queued_ms = now - 7200000;
        q.expires_ms = now + c.expires_in_ms;
        q.request = std::string("packed ") + c.what;
        if (c.started_before) {
            remote::QueueResult r;
            r.request = q;
            r.request.request.clear();
            ASSERT_TRUE(remote::PublishStored(
                link.Ask(remote::ResultSubject(kMachine, q.id), remote::ResultJson(r)),
                remote::kResultStream));
        }
        ASSERT_EQ(console::QueueRequest(link, q, error), 0) << error;
        queued.push_back(q);
    }

    std::vector<std::string> ran; // read once the runner's thread has ended
    QueueHooks hooks;
    hooks.connected = [] { return true; };
    hooks.node_running = [](const std::string&) { return true; };
    hooks.publish = [&](const BusMessage& m) { link.Send(BusLines(m)); };
    hooks.run = [&](const remote::QueuedRequest& q, QueueHooks::Done done) {
        ran.push_back(q.id);
        done(0, "reply to " + q.request);
    };
    hooks.now_ms = UtcMs;
    hooks.trace = [](const std::string&) {};
    QueueRunner runner(kMachine, hooks);
    link.SetRunner(&runner);
    runner.Kick();
    runner.Start();

    remote::QueueResult last;
    for (int k = 0; k < 100; ++k) { // 5 s at most; well under one here
        if (link.Result(queued.back().id, last) && last.state == remote::QueueState::kDone) break;
        usleep(50000);
    }
    // Someone else's messages on the subjects the runner's questions are answered on (while it
    // waits in a pull): none is taken for a request, nothing is published in answer (an empty
    // subject would cost the gate its connection: the server's -ERR fails the test), and the
    // next request still runs once.
    const std::string acks = std::string(remote::kSubjectRoot) + "." + kMachine + ".acks.q";
    for (int n = 1; n <= 40; ++n)
        link.Send(nats::ClientState::PubLines(acks + std::to_string(n), "", "not a request"));
    remote::QueuedRequest again = queued.back();
    again.id = remote::RequestId(now * 4 + 9);
    ASSERT_EQ(console::QueueRequest(link, again, error), 0) << error;
    remote::QueueResult after;
    for (int k = 0; k < 100; ++k) {
        if (link.Result(again.id, after) && after.state == remote::QueueState::kDone) break;
        usleep(50000);
    }
    EXPECT_EQ(after.state, remote::QueueState::kDone);
    runner.Stop();
    link.SetRunner(nullptr);
    for (size_t i = 0; i < queued.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        remote::QueueResult r;
        ASSERT_TRUE(link.Result(queued[i].id, r));
        EXPECT_EQ(r.state, cases[i].state);
    }
    EXPECT_EQ(ran, (std::vector<std::string>{queued.back().id, again.id}));
    EXPECT_EQ(last.reply, "reply to packed runs once");
    EXPECT_EQ(last.gate_status, 0u);
    EXPECT_TRUE(link.QueueEmpty()) << "a request still waits (not acknowledged)";
}

// A pull that expires at the server (408) is made again at once; one that finds nothing
// waiting (404) ends the round until the next look (2 s, or a kick).
TEST(QueueRunnerHooks, PullsAgainAfterAnExpiryNotWhenNothingWaits) {
    std::atomic<int> pulls{0};
    QueueRunner* runner = nullptr;
    QueueHooks hooks;
    hooks.connected = [] { return true; };
    hooks.node_running = [](const std::string&) { return true; };
    hooks.publish = [&](const BusMessage& question) {
        const int n = ++pulls;
        if (n > 3) return; // unanswered: a round that went on
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
    r.Stop();
    EXPECT_EQ(pulls.load(), 2);
}

// A request runs only as the consumer delivers it (the queue's subject, the consumer's ack
// subject as reply): the same request published by someone else to the pull's reply subject
// is dropped, whatever it asks.
TEST(QueueRunnerHooks, RunsOnlyWhatTheConsumerDelivers) {
    remote::QueuedRequest q;
    q.id = remote::RequestId(42);
    q.machine = kMachine;
    q.subject = remote::RequestSubject(kMachine, remote::kAgentNode, 0x73124533);
    q.queued_ms = UtcMs();
    q.expires_ms = q.queued_ms + 3600000;
    q.request = "packed";
    const std::string ack = "$JS.ACK." + std::string(remote::kQueueStream) + "." +
                            remote::QueueConsumer(kMachine) + ".1";
    std::atomic<int> pulls{0}, runs{0};
    QueueRunner* runner = nullptr;
    QueueHooks hooks;
    hooks.connected = [] { return true; };
    hooks.node_running = [](const std::string&) { return true; };
    hooks.publish = [&](const BusMessage& question) {
        if (question.reply.empty()) return; // +ACK
        nats::Message m;
        m.subject = question.reply;
        if (question.subject == remote::QueueNextSubject(kMachine)) {
            const int n = ++pulls;
            if (n == 1) m.reply = ack; // someone else's, on the pull's reply subject
            if (n == 2) m.subject = remote::QueueSubject(kMachine), m.reply = ack;
            if (n <= 2) m.payload = remote::QueuedJson(q);
            if (n > 2) m.headers = "NATS/1.0 404 No Messages\r\n\r\n";
        } else {
            m.payload = R"({"stream":"PROCMGR_RESULTS","seq":3})"; // a record stored
        }
        runner->OnAnswer(m);
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
    for (int k = 0; k < 100 && pulls.load() < 3; ++k)
        usleep(20000);
    r.Stop();
    EXPECT_EQ(pulls.load(), 3);
    EXPECT_EQ(runs.load(), 1);
}

} // namespace
} // namespace pm::gate
