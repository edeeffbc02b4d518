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
        {R"({"stream":"PROCMGR_RESULTS", "seq":7, "duplicate":true})",
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

} // namespace
} // namespace pm::remote
