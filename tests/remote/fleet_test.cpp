// The fleet's portable side: presence objects, machine states, patterns, the fan-out (order,
// bounded concurrency, summary, exit code) and the fleet command's refusals, over a bus that
// answers from memory.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <set>
#include <mutex>
#include <thread>

#include "outside/pmconsole/fleet/fleet_alerts.h"
#include "outside/pmconsole/fleet/fleet_bus.h"
#include "outside/pmconsole/fleet/fleet_command.h"
#include "outside/pmconsole/fleet/fleet_compliance.h"
#include "outside/pmconsole/fleet/fleet_fanout.h"
#include "outside/pmconsole/fleet/fleet_machines.h"
#include "shared/node/command.h"
#include "shared/remote/alerts.h"
#include "shared/remote/presence.h"
#include "shared/remote/queue.h"
#include "tests/remote/remote_request.h"

namespace pm::console {
namespace {

using remote::MachineState;
using remote::Presence;

Presence Hello(const std::string& machine, bool agent = true, bool host = true) {
    Presence p;
    p.kind = "hello";
    p.machine = machine;
    p.gate_version = "1.0";
    p.agent_running = agent;
    p.host_running = host;
    p.uptime_s = 42;
    p.heartbeat_s = 2;
    return p;
}

// (Written and read back: fuzz_presence.)
TEST(FleetPresence, ReadOrRefused) {
    Presence q;
    // Unknown fields are skipped; an absurd period falls back to the default.
    ASSERT_TRUE(
        remote::ParsePresence(R"({"kind":"heartbeat","machine":"a","new":12,"heartbeat_s":0})", q));
    EXPECT_EQ(q.heartbeat_s, remote::kDefaultHeartbeatSeconds);
    const char* refused[] = {
        R"({"kind":"hello","machine":"Web01"})",                   // not a machine name
        R"({"kind":"hello"})",                                     // no machine
        R"({"kind":"bye","machine":"a"})",                         // unknown kind
        R"({"kind":"hello","machine":"a","agent_running":"yes"})", // wrong type
        R"({"kind":"hello","machine":"a","uptime_s":-1})",         // negative
        R"({"kind":"hello","machine":"a","x":{"y":1}})",           // nested
        R"({"kind":"hello","machine":"a"} x)",                     // trailing bytes
        R"({"kind":"hello","machine":"a")",                        // cut short
        R"({"kind":"hello","machine":"a\)",                        // cut in an escape
    };
    for (const char* r : refused)
        EXPECT_FALSE(remote::ParsePresence(r, q)) << r;
}

TEST(FleetPresence, StateFromSilenceAndFlags) {
    const Presence p = Hello("a"); // heartbeat every 2 s: lost after 6 s of silence
    EXPECT_EQ(remote::StateOf(p, 6000), MachineState::kUp);
    EXPECT_EQ(remote::StateOf(p, 6001), MachineState::kLost);
    EXPECT_EQ(remote::StateOf(Hello("a", false, false), 0), MachineState::kAgentNotRunning);
    EXPECT_EQ(remote::StateOf(Hello("a", true, false), 0), MachineState::kHostNotRunning);
    EXPECT_EQ(remote::StateOf(Hello("a", false, true), 7000), MachineState::kLost);

    // A machine heard again (reinstalled under its name) stays one machine, with the news.
    FleetView view;
    view.Heard(Hello("a", false), 0);
    view.Heard(Hello("b"), 0);
    view.Heard(Hello("a"), 5000);
    EXPECT_FALSE(view.Heard("procmgr.a.hello", "not json", 5000));
    // Believed only of the machine its subject names: the servers let each machine publish on
    // its own subjects only.
    const std::string as_b = remote::PresenceJson(Hello("b"));
    EXPECT_FALSE(view.Heard("procmgr.a.hello", as_b, 9000));
    EXPECT_FALSE(view.Heard("procmgr.b.heartbeat", as_b, 9000)); // a hello is no heartbeat
    EXPECT_FALSE(view.Heard("procmgr.b.hello.x", as_b, 9000));
    EXPECT_EQ(view.Impostors(), 3u);
    EXPECT_FALSE(view.Heard("procmgr.b.hello", as_b + std::string(kMaxPresenceBytes, ' '), 9000));
    const auto machines = view.Machines(9000);
    ASSERT_EQ(machines.size(), 2u);
    EXPECT_EQ(machines[0].state, MachineState::kUp);
    EXPECT_EQ(machines[0].silent_ms, 4000u);
    EXPECT_EQ(machines[1].state, MachineState::kLost);
    FleetMachine two_min = machines[0];
    two_min.silent_ms = 120000;
    EXPECT_NE(FormatMachines({two_min}).find(" 2 min ago"), std::string::npos);
}

// A heartbeat held up in a stopped server counts from when it was sent (its run's start, learned
// from the least delayed, and its uptime), not from when it came; an earlier run's, delivered
// late, counts for nothing; a run whose hello was missed counts from its second message.
TEST(FleetPresence, HeldUpHeartbeatsCountFromWhenTheyWereSent) {
    FleetView view;
    const auto heard = [&view](const char* kind, uint64_t uptime_s, uint64_t now_ms) {
        Presence p = Hello("a");
        p.kind = kind;
        p.uptime_s = uptime_s;
        p.heartbeat_s = 5; // lost after 15 s
        view.Heard(p, now_ms);
    };
    const auto silent = [&view](uint64_t now_ms) {
        const std::vector<FleetMachine> m = view.Machines(now_ms);
        return m.size() == 1 ? static_cast<int64_t>(m[0].silent_ms) : -1;
    };
    heard("hello", 0, 100000);
    heard("heartbeat", 5, 105000);
    heard("heartbeat", 10, 110000);
    heard("heartbeat", 15, 125000); // held up 10 s
    EXPECT_EQ(silent(125000), 10000);
    heard("heartbeat", 20, 141000); // held up 21 s: lost meanwhile, and still
    heard("heartbeat", 25, 141000);
    EXPECT_EQ(silent(141000), 26000);
    EXPECT_EQ(view.Machines(141000)[0].state, MachineState::kLost);
    // Started again: an earlier run's heartbeat delivered late changes nothing.
    heard("hello", 0, 200000);
    heard("heartbeat", 30, 201000);
    heard("heartbeat", 5, 205000);
    EXPECT_EQ(silent(205000), 0);
    EXPECT_EQ(view.Machines(205000)[0].presence.uptime_s, 5u);
    // Started again, its hello missed.
    heard("heartbeat", 3, 300000);
    EXPECT_EQ(silent(300000), 95000);
    heard("heartbeat", 8, 305000);
    EXPECT_EQ(silent(305000), 0);
}

TEST(FleetPatterns, Match) {
    struct Case {
        const char* pattern;
        const char* machine;
        bool match;
    };
    const Case cases[] = {
        {"", "x", true},          {"sim*", "sim12", true},
        {"sim*", "asim1", false}, {"sim?", "sim1", true},
        {"sim?", "sim12", false}, {"a,b*", "b2", true},
        {"a,b", "ab", false},     {"*1", "sim11", true},
        {"s*m*1", "sim21", true}, {"web01", "web011", false},
        {",", "x", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MachineMatches(c.pattern, c.machine), c.match) << c.pattern << " " << c.machine;
    EXPECT_TRUE(MachineOrder("sim2", "sim10"));
    EXPECT_FALSE(MachineOrder("sim10", "sim2"));
    EXPECT_TRUE(MachineOrder("a9b", "a10a"));
    EXPECT_TRUE(MachineOrder("sim1", "sim1a"));
    EXPECT_FALSE(MachineOrder("sim1", "sim1"));
    EXPECT_TRUE(ValidMachinePattern("sim*,web0?"));
    EXPECT_FALSE(ValidMachinePattern("Sim*"));
    EXPECT_FALSE(ValidMachinePattern("a.b"));
    EXPECT_FALSE(ValidMachinePattern(""));
}

// Machines answer by the first letter of their names: 'a' a reply, 'n' nothing in time, 'p'
// not permitted, 'd' agent not running; others nobody answers for.
class MemoryBus final : public FleetBus {
public:
    std::vector<std::string> discovered;
    std::atomic<int> in_flight{0}, most{0}, sent{0};

    WireReply ExchangeWith(const std::string& machine, const WireRequest& request) override {
        const int now = ++in_flight;
        for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
        }
        ++sent;
        std::this_thread::yield();
        WireReply r;
        switch (machine[0]) {
        case 'a': {
            const test::Bytes m = test::Packed(msg::kTypeReply, request.node.c_str(),
                                               "pmconsole-fleet", 0, request.seq_no);
            r.outcome = WireOutcome::kReply;
            r.message.assign(m.begin(), m.end());
            break;
        }
        case 'n':
            r.outcome = WireOutcome::kNoReply;
            break;
        case 'p':
            r.outcome = WireOutcome::kNotPermitted;
            break;
        case 'd':
            r.outcome = WireOutcome::kGateStatus;
            r.gate_status = 3;
            break;
        default:
            r.outcome = WireOutcome::kNoSuchMachine;
        }
        --in_flight;
        return r;
    }
    // The queue's side of JetStream: consumers made, requests kept, results served.
    std::vector<std::string> queued, results;
    std::vector<std::string> Gather(const std::string& subject, const std::string& payload,
                                    uint32_t, uint32_t, size_t) override {
        std::vector<std::string> out;
        const std::string results_api = "$JS.API.STREAM.MSG.GET.PROCMGR_RESULTS";
        if (subject.rfind("$JS.API.CONSUMER.DURABLE.CREATE.PROCMGR_QUEUE.gate_", 0) == 0) {
            out.push_back("{\"name\":\"x\"}");
        } else if (subject.size() > 6 && subject.compare(subject.size() - 6, 6, ".queue") == 0) {
            queued.push_back(payload);
            out.push_back("{\"stream\":\"PROCMGR_QUEUE\",\"seq\":" + std::to_string(queued.size()) +
                          "}");
        } else if (subject == "$JS.API.STREAM.INFO.PROCMGR_RESULTS") {
            out.push_back("{\"state\":{\"first_seq\":1,\"last_seq\":" +
                          std::to_string(results.size()) + "}}");
        } else if (subject == results_api) {
            const size_t seq = std::strtoul(payload.c_str() + 7, nullptr, 10); // {"seq":N}
            out.push_back("{\"message\":{\"subject\":\"s\",\"data\":\"" +
                          remote::Base64(results.at(seq - 1)) + "\"}}");
        }
        return out;
    }
    // Discovery: each machine's hello on its own subject; a stray answer and a machine
    // speaking for another are dropped.
    std::vector<std::pair<std::string, std::string>> heard;
    bool AskPresence() override {
        heard.clear();
        for (const std::string& m : discovered)
            heard.emplace_back(remote::HelloSubject(m), remote::PresenceJson(Hello(m)));
        heard.emplace_back(remote::HelloSubject("a1"), "{\"kind\":\"hello\"}");
        heard.emplace_back(remote::HelloSubject("a1"), remote::PresenceJson(Hello("a9")));
        return true;
    }
    bool NextPresence(std::string& subject, std::string& payload, uint32_t wait_ms) override {
        if (heard.empty()) {
            clock += wait_ms; // nothing more comes: the wait passes
            return false;
        }
        subject = heard.front().first;
        payload = heard.front().second;
        heard.erase(heard.begin());
        return true;
    }
    uint64_t clock = 1000;
    uint64_t NowMs() override { return clock; }
    bool SetupAlerts(uint32_t, std::string&) override { return true; }
    std::vector<std::string> stored;
    AlertReading last_reading;
    bool ReadAlerts(const AlertReading& reading, const AlertSink& each, std::string&) override {
        last_reading = reading;
        for (const std::string& a : stored) {
            remote::AlertRecord r;
            const std::string on = remote::ParseAlert(a, r) ? r.machine : "sim1";
            if (!each(remote::AlertSubject(on), a)) break;
        }
        return true;
    }
};

class CapturedIo final : public ConsoleIo {
public:
    MemoryBus* bus = nullptr;
    std::string out, err, input;
    Reply Send(const Request&) override { return {}; }
    void Out(const std::string& t) override { out += t; }
    void Err(const std::string& t) override { err += t; }
    CompressedConverter Converter() override {
        return [](const std::string& text, std::string& out) {
            out = text + '\0';
            return true;
        };
    }
    int ReadInputByte() override {
        if (input.empty()) return kEndOfInput;
        const int b = static_cast<unsigned char>(input[0]);
        input.erase(0, 1);
        return b;
    }
    FleetBus* Fleet() override { return bus; }
};

TEST(FleetFanOut, OrderConcurrencySummaryAndExit) {
    MemoryBus bus;
    CapturedIo io;
    std::vector<std::string> machines;
    for (int i = 0; i < 40; ++i)
        machines.push_back(std::string(1, "anpdz"[i % 5]) + std::to_string(i));
    std::vector<std::string> shown;
    FanOutOptions options;
    options.parallel = 3;
    const auto results = FanOut(
        bus, io, machines,
        [](ConsoleIo& one) {
            Request r;
            r.code = 0x73124533;
            const Reply reply = one.Send(r);
            return reply.outcome == Reply::Outcome::kReply ? kExitReply : UndeliveredExit(reply);
        },
        options, [&](const FanOutResult& r) { shown.push_back(r.machine); });
    EXPECT_EQ(shown, machines); // in the order given, whatever order they finished in
    EXPECT_LE(bus.most.load(), 3);
    EXPECT_EQ(bus.sent.load(), 40);
    EXPECT_EQ(FanOutSummary(results),
              "8 answered, 8 no reply, 8 not permitted, 8 no such machine, 8 agent not running");
    EXPECT_EQ(FanOutExit(results), 1);
    std::vector<FanOutResult> same = {{"a", 0, "", ""}, {"b", 5, "", ""}, {"c", 5, "", ""}};
    EXPECT_EQ(FanOutExit(same), kExitNoSuchMachine);
    same.resize(1);
    EXPECT_EQ(FanOutExit(same), kExitReply);
    // A run that ends with a reply's exit code keeps no request, even one nobody took.
    options.keep_unanswered = true;
    const auto kept = FanOut(
        bus, io, {"z1"},
        [](ConsoleIo& one) {
            Request r;
            r.code = 0x73124533;
            one.Send(r);
            return kExitReply;
        },
        options, nullptr);
    EXPECT_FALSE(kept.at(0).unanswered);
}

TEST(FleetCommand, MachinesAndRefusals) {
    MemoryBus bus;
    bus.discovered = {"a1", "a2", "n1", "b1"};
    CapturedIo io;
    io.bus = &bus;
    // (Discovered machines by pattern, a named one nobody answers for, the list's summary:
    // fleet_sim_test.) exec on several machines: nothing goes out unless confirmed.
    bus.sent = 0;
    io.input = "n\n";
    EXPECT_EQ(RunFleet({"exec", "--machines", "a*", "--", "cmd", "/c", "echo", "--yes"}, io),
              kExitUsage);
    EXPECT_EQ(bus.sent.load(), 0);
    io.input = "y\n";
    RunFleet({"exec", "--machines", "a*", "--", "cmd", "/c", "echo"}, io);
    EXPECT_EQ(bus.sent.load(), 2);

    const std::vector<std::vector<std::string>> usage = {
        {"kill", "4", "--expire", "1h"}, // --expire without --queue
        {"ps", "--queue"},
        {"kill", "4", "--queue", "--expire", "31d"},
        {"monitors", "add"},
        {"alerts", "--live", "--follow"},
        {"alerts", "--since", "yesterday"},
        {"ps", "--since", "1h"},
        {"ps", "--watch"},
        {"config", "--where", "x"},
        {"ps", "--machines", "A*"},
        {"ps", "--parallel", "0"},
        {},
    };
    for (const auto& args : usage)
        EXPECT_EQ(RunFleet(args, io), kExitUsage) << (args.empty() ? "" : args[0]);
}

TEST(FleetQueue, WhatNoOneTookWaitsAndItsResultReadsAsLive) {
    MemoryBus bus;
    bus.discovered = {"a1", "d1", "n1"};
    CapturedIo io;
    io.bus = &bus;
    // a1 answers, n1 may be running it (no reply): neither waits; d1 (agent not running) and
    // z1 (no gate) do.
    EXPECT_EQ(
        RunFleet({"kill", "1234", "--machines", "*,z1", "--yes", "--queue", "--expire", "2h"}, io),
        kExitNoReply);
    EXPECT_NE(io.out.find("1 answered, 1 no reply, 1 no such machine, 1 agent not running, "
                          "2 queued"),
              std::string::npos);
    ASSERT_EQ(bus.queued.size(), 2u);
    remote::QueuedRequest q;
    ASSERT_TRUE(remote::ParseQueued(bus.queued[1], q));
    EXPECT_EQ(q.machine, "z1");
    EXPECT_EQ(q.subject, "procmgr.z1.ProcMgr.73124534");
    EXPECT_EQ(q.words, (std::vector<std::string>{"kill", "1234"}));
    EXPECT_EQ(q.expires_ms - q.queued_ms, 7200000u);

    // A gate status recorded by the gate reads as a live one's (a replayed reply and an expiry:
    // fleet_interop_test).
    remote::QueueResult refused;
    refused.request = q;
    refused.state = remote::QueueState::kDone;
    refused.gate_status = 3;
    bus.results = {"garbage", remote::ResultJson(refused)};
    io.out.clear();
    EXPECT_EQ(RunFleet({"results", "--json"}, io), kExitReply);
    EXPECT_NE(io.out.find("\"exit_code\": 6,"), std::string::npos) << io.out;
    // --count: the last ones, each once (an expired one's exit code is not 6).
    remote::QueueResult expired = refused;
    expired.state = remote::QueueState::kExpired;
    bus.results = {remote::ResultJson(refused), remote::ResultJson(refused),
                   remote::ResultJson(expired)};
    io.out.clear();
    EXPECT_EQ(RunFleet({"results", "--count", "2", "--json"}, io), kExitReply);
    const size_t six = io.out.find("\"exit_code\": 6,");
    EXPECT_TRUE(six != std::string::npos && six == io.out.rfind("\"exit_code\": 6,")) << io.out;
}

// (Written and read back: fuzz_presence.)
TEST(FleetAlerts, RecordsHostAlertsAndOutbox) {
    remote::AlertRecord b;
    EXPECT_FALSE(remote::ParseAlert(R"({"machine":"web01","seq":0})", b)); // no sequence
    EXPECT_FALSE(remote::ParseAlert(R"({"machine":"Web","seq":1})", b));
    EXPECT_FALSE(remote::ParseAlert(R"({"machine":"w","seq":1,"code":4294967296})", b));

    // Bounded per machine: the oldest goes first and is counted. Each machine's first write
    // says the subject holds nothing; the stream's refusal says what it holds.
    using Kind = remote::AlertAnswer::Kind;
    remote::AlertOutbox box(5);
    for (uint64_t seq = 1; seq <= 6; ++seq)
        box.Raise({"m", "r", seq, 0, "", 0, ""});
    box.Raise({"n", "r", 1, 0, "", 0, ""});
    EXPECT_EQ(box.Dropped(), 1u);
    EXPECT_EQ(box.Size(), 6u);
    std::vector<remote::AlertOutbox::Outgoing> out;
    const auto next = [&box, &out](uint64_t now) {
        out = box.Next(10, now);
        std::set<std::string> ids; // (the machines come in turns)
        for (const remote::AlertOutbox::Outgoing& o : out)
            ids.insert(o.id + "@" + std::to_string(o.expect) + " ");
        std::string all;
        for (const std::string& id : ids)
            all += id;
        return all;
    };
    // Answers the write of `machine` and says what it settled.
    const auto answer = [&box, &out](Kind kind, uint64_t seq, uint64_t now,
                                     const char* machine = "m") {
        remote::AlertOutbox::Outgoing sent;
        for (const remote::AlertOutbox::Outgoing& o : out)
            if (o.alert.machine == machine) sent = o;
        const remote::AlertOutbox::Settled r = box.Answered(sent, {kind, seq}, now);
        return std::to_string(r.proven) + "/" + std::to_string(r.lost) +
               (r.restored ? " restored" : "") + " " + std::to_string(r.newest.seq);
    };
    EXPECT_EQ(next(0), "m-r-2@0 n-r-1@0 ");
    EXPECT_EQ(answer(Kind::kWrongLast, 40, 0), "0/0 0");
    EXPECT_EQ(next(0), "m-r-2@40 n-r-1@0 ");
    EXPECT_EQ(answer(Kind::kStored, 41, 0), "0/0 0");
    // Each write proves the ones before it; an answer to a write no longer due changes nothing.
    EXPECT_EQ(next(0), "m-r-3@41 n-r-1@0 ");
    EXPECT_EQ(answer(Kind::kStored, 42, 0), "1/0 2");
    EXPECT_EQ(answer(Kind::kStored, 43, 0), "0/0 0");
    EXPECT_EQ(next(0), "m-r-4@42 n-r-1@0 ");
    const remote::AlertOutbox::Outgoing stale = out[1];
    EXPECT_EQ(box.Answered(stale, {Kind::kStored, 7}, 0).proven, 0u); // n's first write...
    EXPECT_EQ(box.Answered(stale, {Kind::kStored, 8}, 0).proven, 0u); // ...answered twice
    EXPECT_EQ(next(0), "m-r-4@42 ");
    for (uint64_t seq = 43; seq <= 45; ++seq) {
        next(0);
        answer(Kind::kStored, seq, 0);
    }
    EXPECT_EQ(box.Size(), 2u); // m-r-6 and n-r-1: stored, not yet proven
    // The last of a burst is written again to prove it: a duplicate at or before the last
    // sequence said is in the stream.
    EXPECT_EQ(next(remote::kAlertProveAfterMs - 1), "");
    EXPECT_EQ(next(remote::kAlertProveAfterMs), "m-r-6@45 n-r-1@7 ");
    EXPECT_EQ(answer(Kind::kDuplicate, 45, 2000), "1/0 6");
    EXPECT_EQ(box.Size(), 1u);
    EXPECT_EQ(answer(Kind::kDuplicate, 7, 2000, "n"), "1/0 1");
    // The stream lacks one it answered stored: it goes again, with its id, after a pause and
    // before the next; a duplicate after the subject's last said is believed until the next
    // write; found lost again, it goes with a new id.
    box.Raise({"m", "r", 7, 0, "", 0, ""});
    box.Raise({"m", "r", 8, 0, "", 0, ""});
    const uint64_t t = 10000;
    next(t);
    EXPECT_EQ(answer(Kind::kStored, 46, t), "0/0 0");
    next(t);
    EXPECT_EQ(answer(Kind::kWrongLast, 45, t), "0/1 0");
    EXPECT_EQ(next(t + remote::kAlertLossPauseMs - 1), "");
    EXPECT_EQ(next(t + remote::kAlertLossPauseMs), "m-r-7@45 ");
    EXPECT_EQ(answer(Kind::kDuplicate, 46, t + 1000), "0/0 0");
    EXPECT_EQ(next(t + 1000), "m-r-8@46 ");
    EXPECT_EQ(answer(Kind::kWrongLast, 45, t + 1000), "0/1 0");
    EXPECT_EQ(next(t + 2000), "m-r-7.again2@45 ");
    EXPECT_EQ(answer(Kind::kStored, 47, t + 2000), "0/0 restored 0");
    EXPECT_EQ(next(t + 2000), "m-r-8@47 ");
    EXPECT_EQ(answer(Kind::kStored, 48, t + 2000), "1/0 7");
    // A loss reaching back past proven alerts sends them again too (kept a while).
    next(t + 4000);
    EXPECT_EQ(answer(Kind::kWrongLast, 45, t + 4000), "0/2 0");
    EXPECT_EQ(next(t + 5000), "m-r-7.again3@45 ");
    // A failed write waits; the proven ones are let go after a while.
    EXPECT_EQ(answer(Kind::kFailed, 0, t + 5000), "0/0 0");
    EXPECT_EQ(next(t + 5000 + remote::kAlertRetryMs - 1), "");
    EXPECT_EQ(next(t + 5000 + remote::kAlertRetryMs), "m-r-7.again3@45 ");
    EXPECT_EQ(answer(Kind::kStored, 49, t + remote::kAlertKeptMs), "0/0 restored 0");
    next(t + remote::kAlertKeptMs);
    EXPECT_EQ(answer(Kind::kStored, 50, t + remote::kAlertKeptMs), "1/0 restored 7");
    EXPECT_EQ(box.Size(), 1u); // m-r-8

    // The stream's answers as they come.
    const auto read = [](const std::string& payload) {
        const remote::AlertAnswer a = remote::ReadAlertAnswer(payload);
        return std::to_string(static_cast<int>(a.kind)) + ":" + std::to_string(a.seq);
    };
    EXPECT_EQ(read(R"({"stream":"PROCMGR_ALERTS", "seq":9})"), "0:9");
    EXPECT_EQ(read(R"({"stream":"PROCMGR_ALERTS","seq":9,"duplicate": true})"), "1:9");
    EXPECT_EQ(read(R"({"error":{"code":400,"err_code":10071,"description":)"
                   R"("wrong last sequence: 0"},"stream":"PROCMGR_ALERTS","seq":0})"),
              "2:0");
    for (const char* other :
         {R"({"stream":"OTHER","seq":9})", R"({"error":{"code":503,"description":"x"}})",
          R"({"error":{"code":400,"err_code":10071,"description":"wrong last sequence: 1x"}})",
          R"({"error":{"code":400,"err_code":10070,"description":"wrong last sequence: 1"}})",
          R"({"error":{"code":400,"err_code":10071,"description":"wrong last sequence: "}})", ""})
        EXPECT_EQ(read(other), "3:0") << other;

    host::HostAlert h;
    h.seq = 12;
    h.time = 1700000000;
    h.level = 2;
    h.alert_class = 1;
    h.process = "ping.exe";
    const remote::AlertRecord a = remote::AlertFromHost("web01", h);
    // The same host alert, published by this run of the gate or the next, has one id.
    EXPECT_EQ(a.MessageId(), remote::AlertFromHost("web01", h).MessageId());
    EXPECT_EQ(a.MessageId(), "web01-host1700000000-12");
    EXPECT_EQ(a.time_ms, 1700000000000u);
    EXPECT_EQ(a.code, 0x20001u);
}

TEST(FleetAlerts, TimesAndReading) {
    uint64_t ms = 0;
    ASSERT_TRUE(ParseSince("2026-12-07T10:00:01Z", 0, ms));
    EXPECT_EQ(UtcText(ms), "2026-12-07 10:00:01Z");
    EXPECT_EQ(UtcText(951782400000), "2000-02-29 00:00:00Z"); // a leap day
    ASSERT_TRUE(ParseSince("15m", 10000000, ms));
    EXPECT_EQ(ms, 10000000u - 900000u);
    for (const char* bad : {"2026-13-01T00:00:00Z", "2026-12-07 10:00:01Z", "15x", "m", ""})
        EXPECT_FALSE(ParseSince(bad, 10000000, ms)) << bad;

    MemoryBus bus;
    bus.stored = {remote::AlertJson({"sim1", "r", 1, 0, "a", 1, "x"}), "garbage",
                  remote::AlertJson({"web1", "r", 1, 0, "b", 2, "y"}),
                  remote::AlertJson({"sim2", "r", 7, 0, "c", 3, "z"})};
    CapturedIo io;
    io.bus = &bus;
    EXPECT_EQ(RunFleet({"alerts", "--machines", "sim*", "--since", "1h"}, io), kExitReply);
    EXPECT_NE(bus.last_reading.since_ms, 0u);
    EXPECT_NE(io.out.find("sim1  #1  a  0x00000001  x\n"), std::string::npos);
    EXPECT_EQ(io.out.find("web1"), std::string::npos);
    EXPECT_NE(io.out.find("2 alerts, 1 unreadable skipped"), std::string::npos);
    io.out.clear();
    EXPECT_EQ(RunFleet({"alerts", "--count", "1", "--follow"}, io), kExitReply);
    EXPECT_TRUE(bus.last_reading.follow);
    EXPECT_NE(io.out.find("1 alerts"), std::string::npos);
}

remote::PolicyAt Named(const std::string& name, const std::string& machines, uint32_t interval_s,
                       bool enabled = true) {
    remote::PolicyAt p;
    p.revision = 7;
    p.policy.name = name;
    p.policy.machines = machines;
    p.policy.interval_s = interval_s;
    p.policy.enabled = enabled;
    p.policy.services.push_back({"Spooler", remote::ServiceWant::kRunning});
    return p;
}

remote::ItemReport Item(const std::string& policy, remote::ItemState state) {
    remote::ItemReport r;
    r.policy = policy;
    r.name = "Spooler";
    r.state = state;
    r.saw = "stopped";
    return r;
}

// The compliance column: which policies count, when a record is too old, which state wins.
TEST(FleetCompliance, StandingFromPoliciesAndRecord) {
    const uint64_t now = 1000000;
    std::vector<remote::PolicyAt> policies = {Named("a", "web*", 10), Named("b", "web1", 60),
                                              Named("off", "*", 5, false)};
    remote::Compliance c;
    c.machine = "web1";
    c.time_ms = now - 30000; // three of a's interval: still fresh
    c.items = {Item("a", remote::ItemState::kDrifted), Item("a", remote::ItemState::kDrifted),
               Item("b", remote::ItemState::kCompliant), Item("off", remote::ItemState::kConflict),
               Item("gone", remote::ItemState::kFailed)};
    MachineStanding s = StandingOf("web1", policies, &c, now);
    // The disabled policy's and a deleted one's items do not count.
    EXPECT_EQ(s.standing, Standing::kDrifted);
    EXPECT_EQ(StandingText(s), "2 drifted");
    EXPECT_EQ(s.items.size(), 3u);
    EXPECT_EQ(StandingText(StandingOf("web1", policies, &c, now, "b")), "compliant");

    c.items.push_back(Item("b", remote::ItemState::kFailed));
    EXPECT_EQ(StandingText(StandingOf("web1", policies, &c, now)), "1 failed, 2 drifted");
    c.items.push_back(Item("a", remote::ItemState::kConflict));
    s = StandingOf("web1", policies, &c, now);
    EXPECT_EQ(s.standing, Standing::kConflict);
    EXPECT_EQ(StandingText(s), "1 conflict, 1 failed, 2 drifted");

    c.time_ms = now - 30001; // older than three of the shortest interval
    EXPECT_EQ(StandingOf("web1", policies, &c, now).standing, Standing::kStale);
    EXPECT_EQ(StandingOf("web1", policies, &c, now, "b").standing, Standing::kFailed);
    EXPECT_EQ(StandingText(StandingOf("web1", policies, nullptr, now)), "not reporting");
    EXPECT_EQ(StandingText(StandingOf("db1", policies, &c, now)), "-");
    // A fresh record without the items of a policy that has some: not applied yet.
    c.time_ms = now;
    c.items = {Item("a", remote::ItemState::kCompliant)};
    EXPECT_EQ(StandingOf("web1", policies, &c, now, "b").standing, Standing::kNotReporting);
    EXPECT_EQ(StandingOf("web1", policies, &c, now).standing, Standing::kCompliant);

    // fleet list's cell and JSON field.
    FleetMachine m;
    m.presence.machine = "web1";
    ComplianceView view;
    view.read = true;
    view.policies = policies;
    view.records["web1"] = c;
    EXPECT_NE(FormatMachines({m}, &view, now)
                  .find(" compliant\n1 machines, 1 up\ncompliance: 1 compliant, 0 drifted, 0 "
                        "conflicts, 0 not reporting\n"),
              std::string::npos);
    EXPECT_NE(
        FormatMachinesJson({m}, nullptr, now).find("\"compliance\": {\"state\": \"unknown\"}"),
        std::string::npos);
    m.presence.machine = "db1";
    EXPECT_NE(FormatMachinesJson({m}, &view, now).find("\"compliance\": {\"state\": \"none\"}"),
              std::string::npos);
}

} // namespace
} // namespace pm::console
