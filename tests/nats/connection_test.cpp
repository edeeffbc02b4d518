// The client connection: against a scripted peer for what a real server will not do on cue
// (go silent, refuse, announce servers, drop the line mid-request), and against a real
// nats-server on a loopback port for requests, no responders, permissions and a restart.
#include "shared/nats/connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "shared/nats/server_stream_posix.h"
#include "tests/nats/nats_server_posix.h"

namespace pm::nats {
namespace {

using namespace std::chrono_literals;

// The server's side of one scripted connection.
struct Peer {
    std::mutex m;
    std::condition_variable cv;
    std::string to_client, from_client;
    bool closed = false, woken = false;
    int pongs_left = 1 << 30; // PINGs answered automatically
    bool tls_ok = false;
    bool tls_link_fails = false; // a failed handshake is the link's, not a refusal

    void Say(const std::string& s) {
        std::lock_guard<std::mutex> hold(m);
        to_client += s;
        cv.notify_all();
    }
    void Close() {
        std::lock_guard<std::mutex> hold(m);
        closed = true;
        cv.notify_all();
    }
    bool Heard(const std::string& needle) {
        std::unique_lock<std::mutex> hold(m);
        return cv.wait_for(hold, 5s, [&] { return from_client.find(needle) != std::string::npos; });
    }
    std::string Written() {
        std::lock_guard<std::mutex> hold(m);
        return from_client;
    }
};

class ScriptedStream final : public ServerStream {
public:
    explicit ScriptedStream(std::shared_ptr<Peer> p) : p_(std::move(p)) {}
    ~ScriptedStream() override { p_->Close(); }
    Read ReadSome(std::string& into, uint32_t wait_ms, std::string& why) override {
        std::unique_lock<std::mutex> hold(p_->m);
        p_->cv.wait_for(hold, std::chrono::milliseconds(wait_ms),
                        [&] { return !p_->to_client.empty() || p_->closed || p_->woken; });
        p_->woken = false;
        if (!p_->to_client.empty()) {
            into += p_->to_client;
            p_->to_client.clear();
            return Read::kData;
        }
        if (p_->closed) {
            why = "closed by the peer";
            return Read::kClosed;
        }
        return Read::kIdle;
    }
    bool Write(const std::string& bytes) override {
        std::lock_guard<std::mutex> hold(p_->m);
        if (p_->closed) return false;
        p_->from_client += bytes;
        for (size_t at = bytes.find("PING\r\n"); at != std::string::npos;
             at = bytes.find("PING\r\n", at + 1))
            if (p_->pongs_left-- > 0) p_->to_client += "PONG\r\n";
        p_->cv.notify_all();
        return true;
    }
    void Wake() override {
        std::lock_guard<std::mutex> hold(p_->m);
        p_->woken = true;
        p_->cv.notify_all();
    }
    bool StartTls(const std::string&, std::string& why, bool& refused) override {
        refused = !p_->tls_link_fails;
        why = refused ? "the certificate is not trusted" : "the server closed the connection";
        return p_->tls_ok;
    }

private:
    std::shared_ptr<Peer> p_;
};

// Each dial makes a peer that greets with `info`; `script` may adjust it first.
class ScriptedDialer final : public Dialer {
public:
    std::string info = R"({"server_id":"S","max_payload":1048576,"headers":true})";
    std::function<void(Peer&)> script;

    std::unique_ptr<ServerStream> Dial(const ServerUrl& url, bool, std::string&) override {
        auto p = std::make_shared<Peer>();
        p->to_client = "INFO " + info + "\r\n";
        if (script) script(*p);
        std::lock_guard<std::mutex> hold(m_);
        dialed_.push_back(url.Text());
        peers_.push_back(p);
        cv_.notify_all();
        return std::make_unique<ScriptedStream>(p);
    }
    uint64_t NowMs() override { return real_.NowMs(); }

    std::shared_ptr<Peer> Nth(size_t n) { // waits for the n-th dial (from 1)
        std::unique_lock<std::mutex> hold(m_);
        cv_.wait_for(hold, 5s, [&] { return peers_.size() >= n; });
        return peers_.size() >= n ? peers_[n - 1] : nullptr;
    }
    std::vector<std::string> Dialed() {
        std::lock_guard<std::mutex> hold(m_);
        return dialed_;
    }

private:
    PosixDialer real_;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> dialed_;
    std::vector<std::shared_ptr<Peer>> peers_;
};

ConnectionSettings Settings(const std::string& url) {
    ConnectionSettings s;
    ServerUrl u;
    std::string error;
    EXPECT_TRUE(ParseServerUrl(url, u, error)) << error;
    s.servers = {u};
    s.connect.user = "operator";
    s.connect.password = "secret";
    s.back_off = BackOff{20, 40, 5};
    s.inbox = "_INBOX.operator.t0k3n";
    return s;
}

const Connection::ReplyFn kFirst = [](Message&) { return true; };

TEST(Connection, ARequestCutOffByALossEndsAndIsNeverSentAgain) {
    ScriptedDialer dialer;
    Connection c(Settings("nats://127.0.0.1:4222"), dialer);
    ASSERT_EQ(c.Subscribe("procmgr.m1.ProcMgr.>", [](Message&) {}), 1u);
    std::string why;
    ASSERT_EQ(c.Open(why), Connection::Start::kConnected) << why;
    std::shared_ptr<Peer> first = dialer.Nth(1);

    Connection::Answer lost;
    std::thread asker([&] { lost = c.Request("procmgr.m2.ProcMgr.1", "run", {5000, 0}, kFirst); });
    ASSERT_TRUE(first->Heard("PUB procmgr.m2.ProcMgr.1 _INBOX.operator.t0k3n.1 3\r\nrun\r\n"));
    first->Close();
    asker.join();
    EXPECT_EQ(lost.outcome, Connection::Outcome::kLost);

    // The next connection replays the subscriptions, the reply inbox among them, and nothing
    // of the request: a flush proves everything queued reached the peer.
    std::shared_ptr<Peer> second = dialer.Nth(2);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(second->Heard("SUB procmgr.m1.ProcMgr.> 1\r\n"));
    EXPECT_TRUE(second->Heard("SUB _INBOX.operator.t0k3n.* 2\r\n"));
    ASSERT_TRUE(c.Flush(5000));
    EXPECT_EQ(second->Written().find("procmgr.m2"), std::string::npos);

    // A reply to the next request settles it; a late one for the lost request goes nowhere.
    std::thread answerer([&] {
        if (second->Heard("PUB procmgr.m2.ProcMgr.2 _INBOX.operator.t0k3n.2 "))
            second->Say("MSG _INBOX.operator.t0k3n.1 2 4\r\nlate\r\n"
                        "MSG _INBOX.operator.t0k3n.2 2 2\r\nok\r\n");
    });
    std::string got;
    const Connection::Answer answered =
        c.Request("procmgr.m2.ProcMgr.2", "ask", {5000, 0}, [&](Message& m) {
            got += m.payload;
            return true;
        });
    answerer.join();
    EXPECT_EQ(answered.outcome, Connection::Outcome::kAnswered);
    EXPECT_EQ(got, "ok");
}

TEST(Connection, ASilentServerIsLeftAndAnAnnouncedOneTried) {
    ScriptedDialer dialer;
    dialer.info = R"({"server_id":"S","tls_required":true,"connect_urls":["10.0.0.9:5555"]})";
    dialer.script = [](Peer& p) {
        p.tls_ok = true;
        p.pongs_left = 1; // the CONNECT's PING only
    };
    ConnectionSettings s = Settings("tls://127.0.0.1:4222");
    s.keep_alive = KeepAlive{50, 2};
    Connection c(s, dialer);
    std::string why;
    ASSERT_EQ(c.Open(why), Connection::Start::kConnected) << why;
    ASSERT_NE(dialer.Nth(2), nullptr) << "two PINGs without a PONG did not end the connection";
    EXPECT_EQ(dialer.Dialed()[1], "tls://10.0.0.9:5555");
}

TEST(Connection, RefusalsAreFinalAndNoCredentialsLeaveBeforeTheyMayBeSent) {
    struct Case {
        const char* what;
        const char* url;
        const char* info;
        const char* answer; // to the CONNECT, instead of a PONG
        bool connect_sent;
    };
    const Case cases[] = {
        {"wrong password", "nats://127.0.0.1:4222", R"({"server_id":"S"})",
         "-ERR 'Authorization Violation'\r\n", true},
        {"plain off the loopback", "nats://10.1.2.3:4222", R"({"server_id":"S"})", "", false},
        {"TLS asked, certificate refused", "nats://127.0.0.1:4222",
         R"({"server_id":"S","tls_required":true})", "", false},
        {"TLS in the URL, none offered", "tls://127.0.0.1:4222", R"({"server_id":"S"})", "", false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        ScriptedDialer dialer;
        dialer.info = k.info;
        const std::string answer = k.answer;
        dialer.script = [&](Peer& p) {
            if (answer.empty()) return;
            p.pongs_left = 0;
            p.to_client += answer;
        };
        Connection c(Settings(k.url), dialer);
        std::string why;
        EXPECT_EQ(c.Open(why), Connection::Start::kRefused) << why;
        c.WaitEnded();
        EXPECT_FALSE(c.Fatal().empty());
        EXPECT_EQ(dialer.Dialed().size(), 1u) << "a refusal was tried again";
        EXPECT_EQ(dialer.Nth(1)->Written().find("secret") != std::string::npos, k.connect_sent);
        EXPECT_EQ(c.Request("a.b", "x", {100, 0}, kFirst).outcome, Connection::Outcome::kNotSent);
    }
}

// A handshake the link broke (a server stopped or going down closes it, or says nothing in time)
// is no refusal: the next try connects.
TEST(Connection, ATlsHandshakeTheLinkBrokeIsTriedAgain) {
    ScriptedDialer dialer;
    dialer.info = R"({"server_id":"S","tls_required":true})";
    int dials = 0;
    dialer.script = [&](Peer& p) {
        p.tls_ok = ++dials > 1;
        p.tls_link_fails = !p.tls_ok;
    };
    Connection c(Settings("tls://127.0.0.1:4222"), dialer);
    std::string why;
    EXPECT_EQ(c.Open(why), Connection::Start::kUnreachable) << why; // not kRefused
    for (int k = 0; k < 100 && !c.Connected(); ++k)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(c.Connected());
    EXPECT_EQ(dialer.Dialed().size(), 2u);
    EXPECT_TRUE(c.Fatal().empty());
}

TEST(Connection, APermissionErrorEndsOnlyTheRequestItNames) {
    ScriptedDialer dialer;
    Connection c(Settings("nats://127.0.0.1:4222"), dialer);
    std::string why;
    ASSERT_EQ(c.Open(why), Connection::Start::kConnected) << why;
    std::shared_ptr<Peer> peer = dialer.Nth(1);
    Connection::Answer other;
    std::thread waiting([&] { other = c.Request("procmgr.m1.x", "", {1500, 0}, kFirst); });
    ASSERT_TRUE(peer->Heard("PUB procmgr.m1.x "));
    std::thread refuser([&] {
        if (peer->Heard("PUB procmgr.m2.x "))
            peer->Say("-ERR 'Permissions Violation for Publish to \"procmgr.m2.x\"'\r\n");
    });
    const auto started = std::chrono::steady_clock::now();
    const Connection::Answer refused = c.Request("procmgr.m2.x", "", {5000, 0}, kFirst);
    refuser.join();
    EXPECT_EQ(refused.outcome, Connection::Outcome::kNotPermitted);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
    waiting.join();
    EXPECT_EQ(other.outcome, Connection::Outcome::kTimedOut);

    // A refused inbox ends every request.
    std::thread inbox_refuser([&] {
        if (peer->Heard("PUB procmgr.m3.x "))
            peer->Say("-ERR 'Permissions Violation for Subscription to "
                      "\"_INBOX.operator.t0k3n.*\"'\r\n");
    });
    EXPECT_EQ(c.Request("procmgr.m3.x", "", {5000, 0}, kFirst).outcome,
              Connection::Outcome::kNotPermitted);
    inbox_refuser.join();
}

TEST(Connection, ViolationsNameTheirSubjectExactly) {
    struct Row {
        const char* error;
        const char* subject; // "" when not a violation
        bool publish;
    };
    // The quoted forms are read in APermissionErrorEndsOnlyTheRequestItNames.
    const Row rows[] = {
        {"Permissions Violation for Publish to procmgr.b.x using queue", "procmgr.b.x", true},
        {"Maximum Payload Violation \"procmgr.a.ProcMgr.73124535\"", "", false},
        {"Permissions Violation for Publish to \"\"", "", true},
    };
    for (const Row& r : rows) {
        std::string subject;
        bool publish = !r.publish;
        EXPECT_EQ(ParseViolation(r.error, subject, publish), *r.subject != 0) << r.error;
        if (*r.subject != 0) {
            EXPECT_EQ(subject, r.subject);
            EXPECT_EQ(publish, r.publish);
        }
    }
}

// Real servers from here on.
class ConnectionServer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::HaveNatsServer()) GTEST_SKIP() << "nats-server is not installed";
    }
    PosixDialer dialer_;
};

TEST_F(ConnectionServer, RequestsNoRespondersAndAServerRestart) {
    test::NatsServer server;
    ASSERT_TRUE(server.Started());
    ConnectionSettings s = Settings(server.Url());
    s.connect = ConnectOptions{};
    Connection responder(s, dialer_), asker(s, dialer_);
    responder.Subscribe("svc.echo", [&](Message& m) { responder.Publish(m.reply, "", m.payload); });
    std::string why;
    ASSERT_EQ(responder.Open(why), Connection::Start::kConnected) << why;
    ASSERT_EQ(asker.Open(why), Connection::Start::kConnected) << why;
    ASSERT_TRUE(responder.Flush(5000));

    auto ask = [&](const std::string& subject, std::string& headers) {
        std::string payload;
        const Connection::Answer a = asker.Request(subject, "hello", {5000, 0}, [&](Message& m) {
            payload = m.payload;
            headers = m.headers;
            return true;
        });
        return a.outcome == Connection::Outcome::kAnswered ? payload : "(no answer)";
    };
    std::string headers;
    EXPECT_EQ(ask("svc.echo", headers), "hello");
    EXPECT_EQ(ask("svc.nobody", headers), "");
    EXPECT_EQ(headers.compare(0, 12, "NATS/1.0 503"), 0) << headers;

    server.Stop();
    server.Start();
    for (int k = 0; k < 200 && !(responder.Connected() && asker.Connected()); ++k)
        std::this_thread::sleep_for(25ms);
    ASSERT_TRUE(responder.Connected() && asker.Connected());
    ASSERT_TRUE(responder.Flush(5000)); // its subscription is back on the new server
    EXPECT_EQ(ask("svc.echo", headers), "hello");
}

TEST_F(ConnectionServer, CredentialsAndPermissionsAreTheServers) {
    test::NatsServer server(R"(authorization { users = [
        { user: operator, password: secret,
          permissions: { publish: ["ok.>", "_INBOX.operator.>"], subscribe: ["_INBOX.operator.>", "ok.>"] } } ] })");
    ASSERT_TRUE(server.Started());
    ConnectionSettings s = Settings(server.Url());
    s.connect.password = "wrong";
    std::string why;
    Connection refused(s, dialer_);
    EXPECT_EQ(refused.Open(why), Connection::Start::kRefused) << why;

    s.connect.password = "secret";
    Connection c(s, dialer_);
    ASSERT_EQ(c.Open(why), Connection::Start::kConnected) << why;
    c.Subscribe("ok.echo", [&](Message& m) { c.Publish(m.reply, "", "back"); });
    ASSERT_TRUE(c.Flush(5000));
    EXPECT_EQ(c.Request("ok.echo", "", {5000, 0}, kFirst).outcome, Connection::Outcome::kAnswered);
    const Connection::Answer no = c.Request("forbidden.x", "", {5000, 0}, kFirst);
    EXPECT_EQ(no.outcome, Connection::Outcome::kNotPermitted) << no.detail;
}

} // namespace
} // namespace pm::nats
