// The server-line parser: every event of a scripted stream, the same whatever the splits, and
// the streams it refuses.
#include <gtest/gtest.h>

#include <vector>

#include "shared/nats/headers.h"
#include "shared/nats/protocol_parser.h"
#include "shared/nats/server_info.h"
#include "tests/nats/event_log.h"

namespace pm::nats {
namespace {

using test::FeedInPieces;

// One of each operation, as nats-server 2.9 sends them.
const std::string kStream =
    "INFO {\"server_id\":\"N1\",\"max_payload\":1048576,\"headers\":true}\r\n"
    "PING\r\n"
    "MSG procmgr.a.ProcMgr.73124533 1 _INBOX.x.1 5\r\nhello\r\n"
    "+OK\r\n"
    "HMSG _INBOX.x.1 2 16 19\r\nNATS/1.0 503\r\n\r\nabc\r\n"
    "MSG s 3 0\r\n\r\n"
    "msg s 3 2\r\n\r\n\r\n"
    "PONG\r\n"
    "-ERR 'Permissions Violation for Publish to \"procmgr.b\"'\r\n";

const std::string kEvents = "INFO {\"server_id\":\"N1\",\"max_payload\":1048576,\"headers\":true}\n"
                            "PING\n"
                            "MSG procmgr.a.ProcMgr.73124533|1|_INBOX.x.1||hello\n"
                            "OK\n"
                            "MSG _INBOX.x.1|2||NATS/1.0 503\r\n\r\n|abc\n"
                            "MSG s|3|||\n"
                            "MSG s|3|||\r\n\n"
                            "PONG\n"
                            "ERR Permissions Violation for Publish to \"procmgr.b\"\n";

TEST(NatsParser, WholeAndSplitAtEveryByte) {
    EXPECT_EQ(FeedInPieces(kStream, std::vector<size_t>{}), kEvents);
    for (size_t cut = 1; cut < kStream.size(); ++cut)
        ASSERT_EQ(FeedInPieces(kStream, std::vector<size_t>{cut}), kEvents) << cut;
    std::vector<size_t> every;
    for (size_t k = 1; k < kStream.size(); ++k)
        every.push_back(k);
    EXPECT_EQ(FeedInPieces(kStream, every), kEvents);
}

TEST(NatsParser, RefusedStreams) {
    const char* bad[] = {
        "MSG s 1 5\r\nhelloX\r\n",   // payload longer than its size
        "MSG s 1 5\r\nhell\r\n\r\n", // shorter: the CRLF falls inside
        "MSG s 1\r\n",               // no size
        "MSG s 1 r x 5\r\n",         // too many words
        "MSG s 1 -5\r\n",            // not a size
        "MSG s 1 67108865\r\n",      // above the largest payload
        "HMSG s 1 9 5\r\n",          // headers larger than the whole
        "HMSG s 1 3 5\r\n",          // headers too short for "NATS/1.0"
        "BOGUS\r\n",                 // unknown operation
    };
    for (const char* b : bad) {
        const std::string out = FeedInPieces(b, std::vector<size_t>{});
        EXPECT_NE(out.find('!'), std::string::npos) << b;
    }
    const std::string long_line = "INFO " + std::string(ProtocolParser::kMaxLine - 5, 'x') + "\r\n";
    EXPECT_NE(FeedInPieces(long_line, std::vector<size_t>{}).find('!'), std::string::npos);
    const std::string just_fits = "INFO " + std::string(ProtocolParser::kMaxLine - 6, 'x') + "\r\n";
    EXPECT_EQ(FeedInPieces(just_fits, std::vector<size_t>{}).find('!'), std::string::npos);
}

TEST(NatsInfo, FieldsAndRefusals) {
    ServerInfo info;
    ASSERT_TRUE(
        ParseServerInfo("{\"server_id\":\"NA\\u0042C\",\"server_name\":\"s\\\"1\\n\",\"version\":"
                        "\"2.9.10\",\"proto\":1,"
                        "\"go\":\"go1.19\",\"host\":\"127.0.0.1\",\"port\":4222,\"headers\":true,"
                        "\"auth_required\":true,\"tls_required\":true,\"tls_verify\":false,"
                        "\"max_payload\":2097152,\"client_id\":5,\"client_ip\":\"127.0.0.1\","
                        "\"nested\":{\"a\":[1,{\"b\":null}]},\"ldm\":false,"
                        "\"connect_urls\":[\"127.0.0.1:4223\",\"127.0.0.1:4224\"]}",
                        info));
    EXPECT_EQ(info.server_id, "NABC");
    EXPECT_EQ(info.server_name, "s\"1\n");
    EXPECT_EQ(info.max_payload, 2097152);
    EXPECT_TRUE(info.tls_required);
    EXPECT_TRUE(info.auth_required);
    EXPECT_TRUE(info.headers);
    EXPECT_EQ(info.connect_urls, (std::vector<std::string>{"127.0.0.1:4223", "127.0.0.1:4224"}));
    for (const char* bad : {"", "{", "{\"a\":}", "{\"max_payload\":\"x\"}", "{}x",
                            "{\"tls_required\":1}", "{\"connect_urls\":[1]}", "[1]"})
        EXPECT_FALSE(ParseServerInfo(bad, info)) << bad;
    std::string deep = std::string(100, '[') + std::string(100, ']');
    EXPECT_FALSE(ParseServerInfo("{\"x\":" + deep + "}", info));
}

TEST(NatsHeaders, BuildAndRead) {
    const std::string block = BuildHeaderBlock({{"Pm-Status", "0"}, {"Pm-Piece", "1/1"}});
    EXPECT_EQ(block, "NATS/1.0\r\nPm-Status: 0\r\nPm-Piece: 1/1\r\n\r\n");
    HeaderBlock h;
    ASSERT_TRUE(ParseHeaderBlock(block, h));
    EXPECT_EQ(h.code, 0);
    ASSERT_NE(h.Find("pm-piece"), nullptr);
    EXPECT_EQ(*h.Find("pm-piece"), "1/1");
    EXPECT_EQ(h.Find("Pm-Size"), nullptr);
    ASSERT_TRUE(ParseHeaderBlock("NATS/1.0 503\r\n\r\n", h));
    EXPECT_EQ(h.code, 503);
    for (const char* bad : {"NATS/1.1\r\n\r\n", "NATS/1.0\r\nX: 1\r\n", "NATS/1.0 5x\r\n\r\n",
                            "NATS/1.0\r\nno colon\r\n\r\n"})
        EXPECT_FALSE(ParseHeaderBlock(bad, h)) << bad;
}

} // namespace
} // namespace pm::nats
