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

TEST(RemoteQueue, RecordsWrittenReadAndRefused) {
    const QueuedRequest q = Sample();
    EXPECT_EQ(q.id, "0123456789abcdef");
    // Secrets and the reader's --json stay out; a command line's own words stay in.
    EXPECT_EQ(q.words, (std::vector<std::string>{"exec", "--", "cmd", "--password", "x"}));
    QueuedRequest back;
    ASSERT_TRUE(ParseQueued(QueuedJson(q), back));
    EXPECT_EQ(QueuedJson(back), QueuedJson(q));
    EXPECT_EQ(back.request, q.request);
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
    for (const std::string& r : refused)
        EXPECT_FALSE(ParseQueued(r, back)) << r.substr(0, 300);

    QueueResult r;
    r.request = q;
    r.state = QueueState::kDone;
    r.reply = "reply";
    r.reply_size = 5;
    QueueResult rb;
    ASSERT_TRUE(ParseResult(ResultJson(r), rb));
    EXPECT_EQ(ResultJson(rb), ResultJson(r));
    std::string ran = ResultJson(r);
    ran.replace(ran.find("\"done\""), 6, "\"ran\"");
    EXPECT_FALSE(ParseResult(ran, rb)); // no such state
    EXPECT_EQ(ResultSubject("web01", q.id), "procmgr.web01.results.0123456789abcdef");
}

TEST(RemoteQueue, RunExpireOrDrop) {
    const QueuedRequest q = Sample(); // expires at 2000
    struct Case {
        bool parsed;
        const char* machine;
        uint64_t now;
        QueueAction action;
    };
    const Case cases[] = {
        {true, "web01", 1999, QueueAction::kRun},    {true, "web01", 2000, QueueAction::kExpire},
        {true, "web01", 9999, QueueAction::kExpire}, {true, "web02", 1500, QueueAction::kDrop},
        {false, "web01", 1500, QueueAction::kDrop},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Decide(c.parsed, q, c.machine, c.now), c.action) << c.now << c.machine;
}

TEST(RemoteQueue, TheStreamsAnswers) {
    struct Start {
        const char* answer;
        StartAnswer expected;
    };
    const Start starts[] = {
        {R"({"stream":"PROCMGR_RESULTS","seq":7})", StartAnswer::kFirst},
        {R"({"stream":"PROCMGR_RESULTS", "seq":7, "duplicate":true})",
         StartAnswer::kAlreadyStarted},
        {R"({"error":{"code":400,"err_code":10071,"description":"wrong last sequence: 3"}})",
         StartAnswer::kAlreadyStarted},
        {R"({"error":{"code":503,"err_code":10008,"description":"no suitable peers"}})",
         StartAnswer::kFailed},
        {R"({"stream":"PROCMGR_QUEUE","seq":7})", StartAnswer::kFailed},
        {R"({"stream":"PROCMGR_RESULTS","seq":0})", StartAnswer::kFailed},
        {R"({"stream":"PROCMGR_RESULTS","seq":7)", StartAnswer::kFailed},
        {"", StartAnswer::kFailed},
    };
    for (const Start& s : starts)
        EXPECT_EQ(ReadStartAnswer(s.answer), s.expected) << s.answer;

    uint64_t first = 0, last = 0;
    ASSERT_TRUE(StreamRange(R"({"type":"x","config":{"subjects":["a.*"],"n":{"m":[1,{}]}},)"
                            R"("state":{"messages":2,"first_seq":4,"last_seq":9,"lost":{}}})",
                            first, last));
    EXPECT_EQ(first, 4u);
    EXPECT_EQ(last, 9u);
    EXPECT_FALSE(StreamRange(R"({"state":{"first_seq":-4,"last_seq":9}})", first, last));
    std::string subject, data;
    ASSERT_TRUE(StoredMessage(R"({"message":{"subject":"procmgr.a.queue","seq":4,)"
                              R"("data":"aGk=","time":"2026-12-07T10:00:00Z"}})",
                              subject, data));
    EXPECT_EQ(subject, "procmgr.a.queue");
    EXPECT_EQ(data, "hi");
    std::string description;
    uint64_t code = 0;
    EXPECT_FALSE(StoredMessage(R"({"error":{"code":404,"err_code":10037}})", subject, data));
    ASSERT_TRUE(ApiError(R"({"error":{"code":404,"err_code":10037,"description":"no message"}})",
                         description, code));
    EXPECT_EQ(code, 10037u);
    EXPECT_EQ(description, "no message");

    // Base64 as the stream carries data: padded, nothing after the padding.
    for (const char* bad : {"Zg=", "Z===", "Zg=a", "Zm9v====", "Zm9*"})
        EXPECT_FALSE(FromBase64(bad, data)) << bad;
    ASSERT_TRUE(FromBase64("Zm8=", data));
    EXPECT_EQ(Base64(data), "Zm8=");
}

} // namespace
} // namespace pm::remote
