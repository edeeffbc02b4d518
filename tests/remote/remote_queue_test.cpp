// Queued requests: their records, the gate's decisions and the JetStream answers they rest on.
#include <gtest/gtest.h>

#include "shared/remote/queue.h"

namespace pm::remote {
namespace {

QueuedRequest Sample() {
    QueuedRequest q;
    q.id = RequestId(0x0123456789abcdefull);
    q.machine = "web01";
    q.subject = "procmgr.web01.ProcMgr.73124535";
    q.words = KeptWords(
        {"exec", "--json", "--user", "u", "--password", "pw", "--", "cmd", "--password", "x"});
    q.by = "operator";
    q.queued_ms = 1000;
    q.expires_ms = 2000;
    q.request = std::string("\x01\x00\xff", 3);
    return q;
}

// (Records written and read back, through the streams: queue_runner_tests and fuzz_queue.)
TEST(RemoteQueue, SecretsLeftOutAndRecordsRefused) {
    const QueuedRequest q = Sample();
    // Secrets and the reader's --json stay out; a command line's own words stay in.
    EXPECT_EQ(q.words, (std::vector<std::string>{"exec", "--", "cmd", "--password", "x"}));
    const std::string json = QueuedJson(q);
    auto with = [&](const std::string& from, const std::string& to) {
        std::string s = json;
        s.replace(s.find(from), from.size(), to);
        return s;
    };
    const std::string refused[] = {
        with("0123456789abcdef", "0123456789ABCDEF"),        // not lower-case hex
        with("\"web01\"", "\"web02\""),                      // the subject names another
        with("\"expires_ms\":2000", "\"expires_ms\":1000"),  // expires when queued
        with("\"request\":\"AQD/\"", "\"request\":\"AQD\""), // not base64
        with("\"request\":\"AQD/\"", "\"request\":\"\""),    // nothing to run
        with("\"request\":\"AQD/\"",                         // above the bound
             "\"request\":\"" + std::string((kMaxQueuedRequest + 2) / 3 * 4 + 4, 'A') + "\""),
    };
    QueuedRequest back;
    ASSERT_TRUE(ParseQueued(json, back));
    for (const std::string& r : refused)
        EXPECT_FALSE(ParseQueued(r, back)) << r.substr(0, 300);
    QueueResult r, rb;
    r.request = q;
    std::string ran = ResultJson(r);
    ran.replace(ran.find("\"started\""), 9, "\"ran\"");
    EXPECT_FALSE(ParseResult(ran, rb)); // no such state
    // Base64 as the stream carries data: padded, nothing after the padding.
    std::string data;
    for (const char* bad : {"Zg=", "Z===", "Zg=a", "Zm9v====", "Zm9*"})
        EXPECT_FALSE(FromBase64(bad, data)) << bad;
}

// The expiry's boundary (its direction and the stream's answers: queue_runner_tests).
TEST(RemoteQueue, RunExpireOrDropAndTheStartAnswer) {
    const QueuedRequest q = Sample(); // expires at 2000
    EXPECT_EQ(Decide(true, q, "web01", 1999), QueueAction::kRun);
    EXPECT_EQ(Decide(true, q, "web01", 2000), QueueAction::kExpire);
    EXPECT_EQ(Decide(true, q, "web02", 1500), QueueAction::kDrop);
    EXPECT_EQ(Decide(false, q, "web01", 1500), QueueAction::kDrop);
    struct Start {
        const char* answer;
        StartAnswer expected;
    };
    const Start starts[] = {
        {R"({"stream":"PROCMGR_RESULTS", "seq":7, "duplicate":true})", StartAnswer::kStoredBefore},
        {R"({"error":{"code":400,"err_code":10071,"description":"wrong last sequence: 1"}})",
         StartAnswer::kAlreadyStarted},
        {R"({"error":{"code":503,"err_code":10008,"description":"no suitable peers"}})",
         StartAnswer::kFailed},
        {R"({"stream":"PROCMGR_QUEUE","seq":7})", StartAnswer::kFailed},
        {R"({"stream":"PROCMGR_RESULTS","seq":0})", StartAnswer::kFailed},
        {R"({"stream":"PROCMGR_RESULTS","seq":7)", StartAnswer::kFailed},
    };
    for (const Start& s : starts)
        EXPECT_EQ(ReadStartAnswer(s.answer), s.expected) << s.answer;
}

// A machine's clock minutes off either way: the servers' stored and delivery times decide.
TEST(RemoteQueue, ExpiryByTheServersClockWhereTheyTellIt) {
    const QueuedRequest q = Sample(); // queued at 1000, expires at 2000: lives 1000 ms
    const uint64_t ahead = 1000000000, behind = 0;
    EXPECT_EQ(Decide(true, q, "web01", ahead, {5000000, 5000999}), QueueAction::kRun);
    EXPECT_EQ(Decide(true, q, "web01", behind, {5000000, 5001000}), QueueAction::kExpire);
    // The delivery alone, against the console's expiry.
    EXPECT_EQ(Decide(true, q, "web01", ahead, {0, 1999}), QueueAction::kRun);
    EXPECT_EQ(Decide(true, q, "web01", behind, {0, 2000}), QueueAction::kExpire);
    // A delivery said before the storing reads no delivery of this one: the machine's clock.
    EXPECT_EQ(Decide(true, q, "web01", 1999, {5000000, 4000000}), QueueAction::kRun);
    EXPECT_EQ(Decide(true, q, "web01", 2000, {5000000, 4000000}), QueueAction::kExpire);
    EXPECT_EQ(Decide(true, q, "web02", behind, {5000000, 5000001}), QueueAction::kDrop);
}

TEST(RemoteQueue, ServersTimesRead) {
    uint64_t seq = 0, ms = 0;
    EXPECT_TRUE(
        ReadAckSubject("$JS.ACK.PROCMGR_QUEUE.gate_m1.1.17.5.1796718854026565364.0", seq, ms));
    EXPECT_EQ(seq, 17u);
    EXPECT_EQ(ms, 1796718854026u);
    seq = ms = 0;
    EXPECT_TRUE(ReadAckSubject(
        "$JS.ACK.hub.AH.PROCMGR_QUEUE.gate_m1.2.18.6.1796718854026565364.0.r", seq, ms));
    EXPECT_EQ(seq, 18u);
    EXPECT_EQ(ms, 1796718854026u);
    for (const char* bad : {"$JS.ACK.PROCMGR_QUEUE.gate_m1.1.17.5.17967188540265x.0",
                            "$JS.ACK.PROCMGR_QUEUE.gate_m1.1.17.5.1796718854026565364",
                            "procmgr.m1.queue.a.b.c.d.1796718854026565364.0"})
        EXPECT_FALSE(ReadAckSubject(bad, seq, ms)) << bad;
    // nats-server 2.9.10's answers: after a delivery, and before any.
    const std::string info =
        R"({"type":"io.nats.jetstream.api.v1.consumer_info_response","stream_name":"Q",)"
        R"("name":"c1","created":"2026-12-08T08:34:14.024128374Z","config":{"ack_wait":1},)"
        R"("delivered":{"consumer_seq":1,"stream_seq":7,"last_active":"2026-12-08T08:34:15.528340502Z"},)"
        R"("ack_floor":{"consumer_seq":0,"stream_seq":0},"num_ack_pending":1,"num_pending":0})";
    ASSERT_TRUE(ReadLastDelivery(info, seq, ms));
    EXPECT_EQ(seq, 7u);
    EXPECT_EQ(ms, 1796718855528u);
    EXPECT_FALSE(ReadLastDelivery(R"({"delivered":{"consumer_seq":0,"stream_seq":0}})", seq, ms));
    const std::pair<const char*, uint64_t> times[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"2024-02-29T00:00:00Z", 1709164800000},
        {"2026-12-08T09:34:15.5+01:00", 1796718855500},
        {"2026-12-08T03:34:15-05:00", 1796718855000},
    };
    for (const auto& [text, want] : times) {
        EXPECT_TRUE(ParseUtcTime(text, ms)) << text;
        EXPECT_EQ(ms, want) << text;
    }
    for (const char* bad :
         {"0001-01-01T00:00:00Z", "2026-12-08 08:34:15Z", "2026-12-08T08:34:15",
          "2026-13-08T08:34:15Z", "2026-12-08T08:34:15.Z", "2026-12-08T08:34:15+0100"})
        EXPECT_FALSE(ParseUtcTime(bad, ms)) << bad;
}

} // namespace
} // namespace pm::remote
