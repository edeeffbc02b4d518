// The web console's portable parts: its options, the checks on every HTTP request, the live
// tables sent on as changes (replies built by the agent's own table code) and the alerts.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "outside/pmconsole/web/serve_compliance.h"
#include "outside/pmconsole/web/serve_guard.h"
#include "outside/pmconsole/web/serve_model.h"
#include "shared/remote/alerts.h"
#include "tests/console_model/agent_tables.h"

namespace pm::console {
namespace {

TEST(ServeOptionsTest, ListenAndTokenFile) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
        std::string host;
        uint16_t port;
    };
    const Case cases[] = {
        {{}, true, "127.0.0.1", 8080},
        {{"--listen", "127.0.0.1:0"}, true, "127.0.0.1", 0},
        {{"--listen", "[::1]:9000"}, true, "::1", 9000},
        {{"--listen", "localhost:65535"}, true, "localhost", 65535},
        // Off the loopback only with a token file, and over HTTPS (the token would cross the
        // network in clear).
        {{"--listen", "0.0.0.0:8080"}, false, "", 0},
        {{"--listen", "0.0.0.0:8080", "--token-file", "t"}, false, "", 0},
        {{"--listen", "0.0.0.0:8080", "--token-file", "t", "--cert", "c"}, false, "", 0},
        {{"--listen", "0.0.0.0:8080", "--cert", "c", "--key", "k"}, false, "", 0},
        {{"--listen", "0.0.0.0:8080", "--token-file", "t", "--cert", "c", "--key", "k"},
         true,
         "0.0.0.0",
         8080},
        {{"--cert", "c", "--key", "k"}, true, "127.0.0.1", 8080},
        {{"--key", "k"}, false, "", 0},
        {{"--listen", "127.0.0.1:65536"}, false, "", 0},
        {{"--listen", "127.0.0.1"}, false, "", 0},
        {{"--machines", "agent1,Agent2"}, false, "", 0},
        {{"--interval", "99"}, false, "", 0},
        {{"--listen"}, false, "", 0},
        {{"--name", "bad name"}, false, "", 0},
    };
    for (const Case& c : cases) {
        ServeOptions o;
        std::string error;
        const bool ok = ParseServeArgs(c.args, o, error);
        EXPECT_EQ(ok, c.ok) << (c.args.empty() ? "" : c.args.back()) << ": " << error;
        if (ok && c.ok) {
            EXPECT_EQ(o.host, c.host);
            EXPECT_EQ(o.port, c.port);
        }
        if (!ok) {
            EXPECT_FALSE(error.empty());
        }
    }
    std::string token;
    EXPECT_TRUE(TokenFromFile("  0123456789abcdef \r\nrest", token));
    EXPECT_EQ(token, "0123456789abcdef");
    EXPECT_FALSE(TokenFromFile("0123456789abcde\n", token)); // 15 characters
}

TEST(RequestGuardTest, HostOriginTokenAndMethod) {
    const std::string t = "5d41402abc4b2a76b9719d911017c592";
    const RequestGuard guard("127.0.0.1", 8080, t);
    struct Case {
        GuardInput in;
        int status; // 200: allowed
    };
    // An Origin header is sent when `origin` is not empty.
    auto in = [](const char* method, const char* path, const char* host, const char* origin,
                 const std::string& token) {
        return GuardInput{method, path, host, origin, *origin != 0, token, ""};
    };
    const Case cases[] = {
        {in("GET", "/", "127.0.0.1:8080", "", ""), 200},
        {in("GET", "/", "LOCALHOST:8080", "", ""), 200},
        // DNS rebinding: another name resolved to the loopback.
        {in("GET", "/", "attacker.example:8080", "", ""), 403},
        {in("GET", "/", "127.0.0.1:8081", "", ""), 403},
        {in("GET", "/", "", "", ""), 403},
        {in("GET", "/api/fleet", "127.0.0.1:8080", "", t), 200},
        {in("POST", "/api/kill", "localhost:8080", "http://localhost:8080", t), 200},
        // Another site in the same browser, with or without the token.
        {in("POST", "/api/kill", "127.0.0.1:8080", "http://attacker.example", t), 403},
        {in("POST", "/api/kill", "127.0.0.1:8080", "null", t), 403},
        {in("POST", "/api/kill", "127.0.0.1:8080", "https://127.0.0.1:8080", t), 403},
        {in("POST", "/api/exec", "127.0.0.1:8080", "", ""), 401},
        {in("POST", "/api/exec", "127.0.0.1:8080", "", t.substr(0, 31)), 401},
        {in("POST", "/api/exec", "127.0.0.1:8080", "", t + "0"), 401},
        {in("GET", "/api/events", "127.0.0.1:8080", "", ""), 401},
        // A change through GET (a link or an image on another page) is refused.
        {in("GET", "/api/monitors/delete", "127.0.0.1:8080", "", t), 405},
    };
    for (const Case& c : cases) {
        const GuardVerdict v = guard.Check(c.in);
        EXPECT_EQ(v.allowed ? 200 : v.http_status, c.status)
            << c.in.method << " " << c.in.path << " Host " << c.in.host_header << " Origin "
            << c.in.origin_header;
    }
    // Off the loopback only the address itself names the server.
    const RequestGuard wide("192.0.2.7", 9000, t);
    EXPECT_FALSE(wide.Check(in("GET", "/", "localhost:9000", "", "")).allowed);
    EXPECT_TRUE(wide.Check(in("GET", "/", "192.0.2.7:9000", "", "")).allowed);
    const RequestGuard named("0.0.0.0", 9000, t, {"Console.Example"});
    EXPECT_TRUE(named.Check(in("GET", "/", "console.example:9000", "", "")).allowed);
    EXPECT_FALSE(named.Check(in("GET", "/", "console.example:9001", "", "")).allowed);
    // Served over HTTPS, the page's own origin is https://; the same site over http:// is
    // another origin.
    const RequestGuard tls("127.0.0.1", 8443, t, {}, true);
    EXPECT_TRUE(
        tls.Check(in("POST", "/api/kill", "127.0.0.1:8443", "https://127.0.0.1:8443", t)).allowed);
    EXPECT_FALSE(
        tls.Check(in("POST", "/api/kill", "127.0.0.1:8443", "http://127.0.0.1:8443", t)).allowed);
}

// /metrics takes the scraper's token as a bearer token and nothing else; that token opens no
// page API. Without a metrics token the path is off.
TEST(RequestGuardTest, MetricsTokenAndPageTokenApart) {
    const std::string page = "5d41402abc4b2a76b9719d911017c592";
    const std::string scrape = "7215ee9c7d9dc229d2921a40e899ec5f";
    const RequestGuard guard("127.0.0.1", 8080, page, {}, false, scrape);
    auto in = [](const char* method, const char* path, const std::string& token,
                 const std::string& bearer) {
        return GuardInput{method, path, "127.0.0.1:8080", "", false, token, bearer};
    };
    auto status = [&](const RequestGuard& g, const GuardInput& i) {
        const GuardVerdict v = g.Check(i);
        return v.allowed ? 200 : v.http_status;
    };
    EXPECT_EQ(status(guard, in("GET", "/metrics", "", scrape)), 200);
    EXPECT_EQ(status(guard, in("GET", "/metrics", "", page)), 401);
    EXPECT_EQ(status(guard, in("GET", "/metrics", page, "")), 401);
    EXPECT_EQ(status(guard, in("GET", "/metrics", "", scrape.substr(1))), 401);
    EXPECT_EQ(status(guard, in("POST", "/metrics", "", scrape)), 405);
    EXPECT_EQ(status(guard, in("GET", "/api/fleet", scrape, "")), 401);
    EXPECT_EQ(status(guard, in("POST", "/api/kill", scrape, scrape)), 401);
    EXPECT_EQ(status(guard, in("GET", "/api/fleet", page, "")), 200);
    GuardInput other = in("GET", "/metrics", "", scrape);
    other.host_header = "attacker.example:8080";
    EXPECT_EQ(status(guard, other), 403);
    const RequestGuard off("127.0.0.1", 8080, page);
    EXPECT_EQ(status(off, in("GET", "/metrics", "", "")), 404);
    EXPECT_EQ(status(off, in("GET", "/metrics", page, page)), 404);
}

TEST(StreamSlotsTest, AdmitsUpToTheCapFromManyThreads) {
    static_assert(kMaxEventStreams <= kServeWorkers - 4, "workers kept for plain requests");
    StreamSlots slots(kMaxEventStreams);
    std::atomic<int> taken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int j = 0; j < kMaxEventStreams; ++j)
                if (slots.TryTake()) ++taken;
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(taken.load(), kMaxEventStreams);
    EXPECT_EQ(slots.open(), kMaxEventStreams);
    EXPECT_FALSE(slots.TryTake());
    slots.Release(); // a page closed: one more may open, and only one
    EXPECT_TRUE(slots.TryTake());
    EXPECT_FALSE(slots.TryTake());
}

TEST(TableWatchTest, SendsOnlyWhatChanged) {
    // The agent's side: Get Updates answered from its change tracker.
    table::ChangeTracker tracker;
    Reply::Outcome outcome = Reply::Outcome::kReply;
    int requests = 0;
    const SendFunction send = [&](const Request& r) {
        ++requests;
        if (outcome != Reply::Outcome::kReply) return Reply(outcome, 0, {});
        uint32_t since = 0; // little-endian, as on this machine
        if (!r.params.empty() && r.params[0].size() == 4)
            std::memcpy(&since, r.params[0].data(), 4);
        return Reply(Reply::Outcome::kReply, 0, test::Updates<std::string>(tracker, since));
    };
    TableWatch watch(&test::Utf8);
    std::string event, word, message;

    tracker.Renew(test::Snapshot(false, {{4, "proc4.exe"}, {8, "proc8.exe"}, {12, "proc12.exe"}},
                                 {{"Spooler", 4}, {"Event Log", 4}}));
    ASSERT_TRUE(watch.Poll(send, 1000, &event, &word, &message)) << message;
    EXPECT_NE(event.find("\"name\":\"proc8.exe\""), std::string::npos) << event;
    EXPECT_NE(event.find("\"name\":\"Spooler\""), std::string::npos) << event;

    // Nothing changed: nothing to send, though the agent was asked.
    ASSERT_TRUE(watch.Poll(send, 1000, &event, &word, &message));
    EXPECT_EQ(event, "");
    EXPECT_EQ(requests, 2);

    // 8 ended, 16 started, the spooler stopped: only those travel.
    tracker.Renew(test::Snapshot(false, {{4, "proc4.exe"}, {12, "proc12.exe"}, {16, "proc16.exe"}},
                                 {{"Spooler", 1}, {"Event Log", 4}}));
    ASSERT_TRUE(watch.Poll(send, 1000, &event, &word, &message));
    EXPECT_NE(event.find("\"processes\":{\"set\":[{\"pid\":16,"), std::string::npos) << event;
    EXPECT_NE(event.find("\"gone\":[8]"), std::string::npos) << event;
    EXPECT_NE(event.find("\"state_name\":\"Stopped\""), std::string::npos) << event;
    EXPECT_EQ(event.find("proc4.exe"), std::string::npos) << event;
    EXPECT_EQ(event.find("Event Log"), std::string::npos) << event;
    const std::string all = watch.Snapshot();
    EXPECT_NE(all.find("proc4.exe"), std::string::npos);
    EXPECT_EQ(all.find("proc8.exe"), std::string::npos);

    // The gate says the agent is gone: the page is told in words, the copy stays.
    outcome = Reply::Outcome::kAgentNotRunning;
    EXPECT_FALSE(watch.Poll(send, 1000, &event, &word, &message));
    EXPECT_EQ(word, "agent not running");
    EXPECT_EQ(event, "");
    EXPECT_NE(watch.Snapshot().find("proc16.exe"), std::string::npos);
}

TEST(AlertFeedTest, EachMachineItsOwnOnceNewestKept) {
    auto payload = [](const char* machine, uint64_t seq) { // 2026-12-07 10:00:01Z
        return remote::AlertJson({machine, "r1", seq, 1796637601000 + seq,
                                  "P" + std::to_string(seq) + ".EXE", 1029, "started\x01"});
    };
    AlertFeed feed(4);
    std::string machine, json;
    struct Row {
        std::string payload;
        bool added;
        const char* machine;
        const char* on = "agent1"; // the machine whose subject it came on
    };
    const Row rows[] = {
        {payload("agent1", 1), true, "agent1"},
        {payload("agent2", 2), true, "agent2", "agent2"},
        {payload("agent2", 9), false, "", "agent1"}, // agent1 speaking for agent2
        {payload("agent1", 1), false, ""},           // a reading that starts again: shown once
        {"{\"machine\":\"agent1\"}", false, ""},
        {payload("agent1", 3), true, "agent1"},
        {payload("agent1", 4), true, "agent1"},
        {payload("agent1", 5), true, "agent1"}, // the feed holds 4: agent1's first goes
    };
    for (const Row& r : rows) {
        machine.clear();
        EXPECT_EQ(feed.Add(remote::AlertSubject(r.on), r.payload, &machine, &json), r.added)
            << r.payload;
        EXPECT_EQ(machine, r.machine) << r.payload;
    }
    EXPECT_EQ(json, "{\"id\":\"agent1-r1-5\",\"seq\":5,\"time_utc\":\"2026-12-07 10:00:01Z\","
                    "\"monitor\":\"P5.EXE\",\"code\":\"0x00000405\",\"text\":\"started\\u0001\"}");
    const std::string one = feed.Recent("agent1", 2);
    EXPECT_LT(one.find("agent1-r1-4"), one.find("agent1-r1-5")) << one;
    EXPECT_EQ(one.find("agent1-r1-3"), std::string::npos) << one;
    EXPECT_EQ(feed.Recent("agent1", 9).find("agent1-r1-1\""), std::string::npos);
    EXPECT_NE(feed.Recent("agent2", 9).find("agent2-r1-2"), std::string::npos);

    // A stream that cannot be read, in words on the page.
    const std::pair<std::string, std::string> words[] = {
        {"the stream PROCMGR_ALERTS does not exist: pmconsole fleet setup", "no alert stream"},
        {"not permitted to read the stream: Permissions Violation for Publish to "
         "\"$JS.API.CONSUMER.CREATE.PROCMGR_ALERTS\"",
         "not permitted"},
        {"cannot read the stream: timeout", "failed"},
    };
    for (const auto& [error, want] : words) {
        std::string word, message;
        AlertStreamWords(error, &word, &message);
        EXPECT_EQ(word, want) << error;
    }
}

TEST(CapturedJsonTest, ResultsInWords) {
    Captured c{4, "", "pmconsole: not permitted: this user may not send 0x73124535\nmore\n"};
    EXPECT_EQ(CapturedJson(c), "{\"ok\":false,\"word\":\"not permitted\",\"exit_code\":4,"
                               "\"message\":\"not permitted: this user may not send "
                               "0x73124535\",\"data\":null}");
    c = {0, "{\"a\":1}\n{\"a\":2}\n", ""}; // several JSON lines become an array
    EXPECT_NE(CapturedJson(c).find("\"data\":[{\"a\":1},{\"a\":2}]}"), std::string::npos);
}

// The policies' view: each policy's machines counted by standing, listed only when they do not
// comply, with their items in words.
TEST(ComplianceJsonTest, PoliciesCountAndListTheMachinesNotCompliant) {
    const uint64_t now = 1000000;
    ComplianceView view;
    view.read = true;
    remote::PolicyAt p;
    p.revision = 3;
    p.policy.name = "base";
    p.policy.machines = "web*";
    p.policy.interval_s = 10;
    p.policy.forbidden.push_back({"NC.EXE", remote::ForbiddenAction::kAlert});
    view.policies.push_back(p);
    remote::PolicyAt bad;
    bad.policy.name = "bad";
    view.policies.push_back(bad);
    remote::ItemReport item;
    item.policy = "base";
    item.kind = remote::ItemKind::kForbidden;
    item.name = "NC.EXE";
    item.saw = "not running";
    for (const char* m : {"web1", "web2", "web3"}) {
        remote::Compliance c;
        c.machine = m;
        c.time_ms = now;
        c.items.push_back(item);
        view.records[m] = c;
    }
    view.records["web2"].items[0].state = remote::ItemState::kDrifted;
    view.records["web2"].items[0].saw = "running, pid 4";
    view.records["web2"].items[0].did = "reported";
    view.records["web3"].items[0].state = remote::ItemState::kFailed;
    const std::string json = PoliciesJson(view, {"web1", "web2", "web3", "web4", "db1"}, now);
    EXPECT_NE(json.find("\"name\":\"base\",\"revision\":3,\"enabled\":true"), std::string::npos)
        << json;
    EXPECT_NE(json.find("\"counts\":{\"compliant\":1,\"drifted\":1,\"failed\":1,\"conflict\":0,"
                        "\"not reporting\":1}"),
              std::string::npos)
        << json;
    EXPECT_EQ(json.find("\"machine\":\"web1\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"machine\":\"web4\",\"state\":\"not reporting\""), std::string::npos);
    EXPECT_NE(json.find("\"words\":\"forbidden NC.EXE drifted: running, pid 4; reported\""),
              std::string::npos);
    // A document that does not read says so.
    EXPECT_NE(json.find("{\"name\":\"bad\",\"unreadable\":true}"), std::string::npos);
    // A machine's own view holds its compliant items too.
    EXPECT_NE(MachineComplianceJson(view, "web1", now)
                  .find("\"state\":\"compliant\",\"text\":"
                        "\"compliant\""),
              std::string::npos);
}

} // namespace
} // namespace pm::console
