// The client's lines, keep-alive and server pool, and server URLs.
#include <gtest/gtest.h>

#include "shared/nats/client_state.h"
#include "shared/nats/server_info.h"
#include "shared/nats/server_pool.h"
#include "shared/nats/server_url.h"

namespace pm::nats {
namespace {

TEST(NatsClient, Lines) {
    ClientState c;
    ConnectOptions o;
    o.user = "agent1";
    o.password = "p\"w";
    o.tls = true;
    const std::string connect = c.ConnectLines(o);
    ASSERT_EQ(connect.rfind("CONNECT {", 0), 0u);
    ASSERT_EQ(connect.substr(connect.size() - 9), "}\r\nPING\r\n");
    ServerInfo ignored; // the CONNECT object is JSON that the INFO scanner reads
    EXPECT_TRUE(ParseServerInfo(connect.substr(8, connect.size() - 16), ignored));
    EXPECT_NE(connect.find("\"pass\":\"p\\\"w\""), std::string::npos);
    EXPECT_NE(connect.find("\"tls_required\":true"), std::string::npos);
    EXPECT_NE(connect.find("\"headers\":true"), std::string::npos);

    const uint64_t a = c.Subscribe("procmgr.m.ProcMgr.>");
    const uint64_t b = c.Subscribe("_INBOX.x.*");
    EXPECT_EQ(c.ResubscribeLines(), "SUB procmgr.m.ProcMgr.> 1\r\nSUB _INBOX.x.* 2\r\n");
    std::string unsub;
    ASSERT_TRUE(c.Unsubscribe(a, unsub));
    EXPECT_EQ(unsub, "UNSUB 1\r\n");
    EXPECT_FALSE(c.Unsubscribe(a, unsub));
    EXPECT_EQ(c.ResubscribeLines(), "SUB _INBOX.x.* " + std::to_string(b) + "\r\n");

    EXPECT_EQ(ClientState::PubLines("s", "", "abc"), "PUB s 3\r\nabc\r\n");
    EXPECT_EQ(ClientState::PubLines("s", "r", ""), "PUB s r 0\r\n\r\n");
    EXPECT_EQ(ClientState::HPubLines("r", "", "NATS/1.0\r\n\r\n", "xy"),
              "HPUB r 12 14\r\nNATS/1.0\r\n\r\nxy\r\n");
    for (const char* s : {"", "a b", "a\r", "a\nb"})
        EXPECT_FALSE(ClientState::IsSendableSubject(s)) << s;
    EXPECT_TRUE(ClientState::IsSendableSubject("_INBOX.abc.1"));
}

TEST(NatsClient, KeepAlive) {
    ClientState c(KeepAlive{1000, 2});
    c.Connected(0);
    EXPECT_EQ(c.OnTick(999), ClientState::Tick::kNothing);
    EXPECT_EQ(c.OnTick(1000), ClientState::Tick::kSendPing);
    EXPECT_EQ(c.OnTick(1500), ClientState::Tick::kNothing);
    c.PongReceived(); // the server answers: it stays alive however long this goes on
    EXPECT_EQ(c.OnTick(2000), ClientState::Tick::kSendPing);
    c.PongReceived();
    c.HeardFromServer(2800);
    EXPECT_EQ(c.OnTick(3500), ClientState::Tick::kNothing);
    EXPECT_EQ(c.OnTick(3800), ClientState::Tick::kSendPing);
    EXPECT_EQ(c.OnTick(4800), ClientState::Tick::kSendPing);
    EXPECT_EQ(c.OnTick(5800), ClientState::Tick::kStale); // two PINGs unanswered
}

TEST(NatsPool, OrderBackOffAndAnnounced) {
    std::vector<ServerUrl> cfg(3);
    for (int i = 0; i < 3; ++i) {
        cfg[i].tls = true;
        cfg[i].host = "127.0.0.1";
        cfg[i].port = static_cast<uint16_t>(4222 + i);
    }
    ServerPool pool(cfg, 7, BackOff{250, 4000, 100});
    EXPECT_EQ(pool.Delay(1), 250u);
    EXPECT_EQ(pool.Delay(2), 500u);
    EXPECT_EQ(pool.Delay(5), 4000u);
    EXPECT_EQ(pool.Delay(40), 4000u);
    // Each server once, in turn, before any twice.
    std::vector<size_t> seen;
    for (int k = 0; k < 3; ++k)
        seen.push_back(pool.Next(0).index);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<size_t>{0, 1, 2}));
    // A failed server waits out its back-off while the others are tried.
    const size_t first = pool.Next(0).index;
    pool.Failed(first, 1000);
    for (int k = 0; k < 4; ++k) {
        const ServerPool::Pick p = pool.Next(1000);
        EXPECT_NE(p.index, first);
        EXPECT_EQ(p.wait_ms, 0u);
    }
    // All failed: the soonest end of a back-off, jitter below its bound.
    for (size_t i = 0; i < 3; ++i)
        if (i != first) pool.Failed(i, 1100);
    const ServerPool::Pick p = pool.Next(1100);
    EXPECT_EQ(p.index, first);
    EXPECT_GE(p.wait_ms + 1100, 1000u + 250u - 0u);
    EXPECT_LT(p.wait_ms + 1100, 1000u + 250u + 100u);
    pool.Succeeded(first);
    EXPECT_EQ(pool.Failures(first), 0u);

    EXPECT_EQ(pool.AddAnnounced({"127.0.0.1:4223", "127.0.0.1:4225", "[::1]:4226", "bad:x",
                                 "nats://127.0.0.1:4227"}),
              2u);
    ASSERT_EQ(pool.Size(), 5u);
    EXPECT_TRUE(pool.Announced(3));
    EXPECT_TRUE(pool.Url(3).tls);
    EXPECT_EQ(pool.Url(4).Text(), "tls://[::1]:4226");
}

TEST(NatsUrl, ReadAndLoopback) {
    struct Row {
        const char* text;
        bool ok;
        bool tls;
        const char* host;
        uint16_t port;
    };
    const Row rows[] = {
        {"nats://127.0.0.1:4222", true, false, "127.0.0.1", 4222},
        {"tls://nats.example:7422", true, true, "nats.example", 7422},
        {"tls://[::1]:5000", true, true, "::1", 5000},
        {"localhost", true, false, "localhost", 4222},
        {"http://a:1", false, false, "", 0},
        {"nats://u:p@a:1", false, false, "", 0},
        {"nats://a:0", false, false, "", 0},
        {"nats://a:65535", true, false, "a", 65535},
        {"nats://a:65536", false, false, "", 0},
        {"nats://a:", false, false, "", 0},
        {"nats://:4222", false, false, "", 0},
        {"tls://[::1", false, false, "", 0},
    };
    for (const Row& r : rows) {
        ServerUrl u;
        std::string error;
        ASSERT_EQ(ParseServerUrl(r.text, u, error), r.ok) << r.text;
        if (!r.ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(u.tls, r.tls);
        EXPECT_EQ(u.host, r.host);
        EXPECT_EQ(u.port, r.port);
    }
    for (const char* h : {"localhost", "127.0.0.1", "127.255.3.4", "::1"})
        EXPECT_TRUE(IsLoopbackHost(h)) << h;
    for (const char* h : {"128.0.0.1", "10.0.0.1", "127.0.0", "127.0.0.256", "127.0.0.1.5",
                          "127..0.1", "127.0.0.1234", "localhost.example", "::2"})
        EXPECT_FALSE(IsLoopbackHost(h)) << h;
}

} // namespace
} // namespace pm::nats
