// Pieces of a large reply (their size, headers and assembly) and what the consoles make of the
// messages on a reply subject and of the server's errors.
#include <gtest/gtest.h>

#include "outside/pmconsole/console_commands.h"
#include "outside/pmconsole/remote_reply.h"
#include "outside/pmconsole/request_transport.h"
#include "shared/nats/headers.h"
#include "shared/remote/pieces.h"

namespace pm::console {
namespace {

using namespace remote;

TEST(RemotePieces, SizesAndHeaders) {
    EXPECT_EQ(PieceSize(1048576), 1048576u - 1024);
    EXPECT_EQ(PieceSize(2048), 1024u);
    EXPECT_EQ(PieceSize(2047), 1023u);
    EXPECT_EQ(PieceSize(100), kMinPiece);
    EXPECT_EQ(PieceCount(0, 1000), 1u);
    EXPECT_EQ(PieceCount(1000, 1000), 1u);
    EXPECT_EQ(PieceCount(1001, 1000), 2u);
    EXPECT_EQ(PieceCount(10 * 1024 * 1024, PieceSize(1048576)), 11u);
    // The headers of each piece, byte for byte: GateLines.StatusAndPieces.
    uint32_t i = 0, n = 0;
    EXPECT_TRUE(ParsePiece("1/1", i, n));
    for (const char* bad : {"0/1", "2/1", "1/", "/1", "1-1", "a/b", "1/1000001", ""})
        EXPECT_FALSE(ParsePiece(bad, i, n)) << bad;
    GateStatus s;
    EXPECT_TRUE(ParseGateStatus("6", s)); // the highest
    EXPECT_EQ(s, GateStatus::kMalformed);
    EXPECT_FALSE(ParseGateStatus("7", s));
    EXPECT_FALSE(ParseGateStatus("03", s));
}

TEST(RemotePieces, AssemblyRefusals) {
    const std::string whole = "0123456789abcdefghij"; // 20 bytes in pieces of 8: 8, 8, 4
    auto piece = [&](int k) { return whole.substr(8 * (k - 1), 8); };
    auto add = [&](PieceAssembler& a, int k, const std::string& bytes, const char* size = "20") {
        return a.Add(std::to_string(k) + "/3", size, reinterpret_cast<const uint8_t*>(bytes.data()),
                     bytes.size());
    };
    using R = PieceAssembler::Result;
    // (Any order: RemoteReply.PiecesInAnyOrderAndTheTimeOut, through the same assembler.)
    PieceAssembler dup;
    EXPECT_EQ(add(dup, 1, piece(1)), R::kNeedMore);
    EXPECT_EQ(add(dup, 1, piece(1)), R::kBad);
    PieceAssembler size_changes;
    EXPECT_EQ(add(size_changes, 1, piece(1)), R::kNeedMore);
    EXPECT_EQ(add(size_changes, 2, piece(2), "21"), R::kBad);
    PieceAssembler short_total;
    EXPECT_EQ(add(short_total, 1, piece(1)), R::kNeedMore);
    EXPECT_EQ(add(short_total, 2, piece(2)), R::kNeedMore);
    EXPECT_EQ(add(short_total, 3, "abc"), R::kBad);
    PieceAssembler byte_each; // as many bytes as pieces
    EXPECT_EQ(add(byte_each, 1, "a", "3"), R::kNeedMore);
    PieceAssembler too_long;
    EXPECT_EQ(add(too_long, 1, piece(1) + piece(2) + "xxxxx"), R::kBad);

    PieceAssembler one;
    EXPECT_EQ(one.Add("1/1", "0", nullptr, 0), R::kComplete);
    EXPECT_EQ(one.Reply(), "");
}

nats::Message Msg(const std::string& headers, const std::string& payload = "") {
    nats::Message m;
    m.subject = "_INBOX.x.1";
    m.sid = "1";
    m.headers = headers;
    m.payload = payload;
    return m;
}

std::string Piece(int i, int n, size_t total) {
    return nats::BuildHeaderBlock({{"Pm-Status", "0"},
                                   {"Pm-Piece", std::to_string(i) + "/" + std::to_string(n)},
                                   {"Pm-Size", std::to_string(total)}});
}

// One message settles the request, with the outcome and gate status it names (the console's
// exit code for each is checked with the request path, in remote_console_test).
TEST(RemoteReply, OneMessageSettles) {
    struct Row {
        std::string headers;
        WireOutcome outcome;
        uint32_t gate_status;
    };
    const Row rows[] = {
        {"NATS/1.0 503\r\n\r\n", WireOutcome::kNoSuchMachine, 0},
        {"", WireOutcome::kNoReply, 0},
        {"NATS/1.0\r\nOther: 1\r\n\r\n", WireOutcome::kNoReply, 0},
        {nats::BuildHeaderBlock({{"Pm-Status", "3"}}), WireOutcome::kGateStatus, 3},
        {nats::BuildHeaderBlock({{"Pm-Status", "1"}}), WireOutcome::kGateStatus, 1},
        {nats::BuildHeaderBlock({{"Pm-Status", "5"}}), WireOutcome::kGateStatus, 5},
        {nats::BuildHeaderBlock({{"Pm-Status", "9"}}), WireOutcome::kNoReply, 0},
        {Piece(1, 1, 2), WireOutcome::kReply, 0},
    };
    for (const Row& r : rows) {
        RemoteReplyCollector c;
        WireReply w;
        EXPECT_TRUE(c.Take(Msg(r.headers, r.outcome == WireOutcome::kReply ? "ok" : ""), w))
            << r.headers;
        EXPECT_EQ(w.outcome, r.outcome) << r.headers;
        EXPECT_EQ(w.gate_status, r.gate_status) << r.headers;
    }
}

TEST(RemoteReply, PiecesInAnyOrderAndTheTimeOut) {
    RemoteReplyCollector c;
    WireReply reply;
    EXPECT_FALSE(c.Take(Msg(Piece(3, 3, 7), "g"), reply));
    EXPECT_FALSE(c.Take(Msg(Piece(1, 3, 7), "abc"), reply));
    EXPECT_EQ(c.TimedOut().outcome, WireOutcome::kNoReply);
    EXPECT_NE(c.TimedOut().detail.find("2 of 3"), std::string::npos);
    EXPECT_TRUE(c.Take(Msg(Piece(2, 3, 7), "def"), reply));
    EXPECT_EQ(reply.outcome, WireOutcome::kReply);
    EXPECT_EQ(reply.message, "abcdefg");
}

} // namespace
} // namespace pm::console
