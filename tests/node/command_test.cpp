#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "shared/node/command.h"
#include "shared/node/message_layout.h"
#include "shared/node/sequence_counter.h"
#include "test_memory.h"

namespace pm {
namespace {

using test::TestMemory;
using Bytes = std::vector<uint8_t>;

// The bytes of a built message (none when it was refused); the memory frees what is left.
Bytes Take(void* m) {
    auto* p = static_cast<uint8_t*>(m);
    return p ? Bytes(p, p + le::Load32(p)) : Bytes{};
}

TEST(Command, EmptyRequestPacksTo34BytesAndNumbersFollowOn) {
    TestMemory memory;
    Command c(0x01020304);
    SetNextSequenceNumber(0xA1B2C3D4);
    const Bytes expected = {
        34,   0,    0,    0,    // msg_len
        32,   0,                // hdr_len
        0,                      // msg_type: request
        0,                      // tag
        1,    0,    32,   0,    // sender: lone NUL at 32
        1,    0,    33,   0,    // addressee: lone NUL at 33
        0,    0,                // reserved
        0x04, 0x03, 0x02, 0x01, // value: cmd_code
        0,    0,                // item_count
        34,   0,                // size_table_off
        34,   0,                // data_off
        0xD4, 0xC3, 0xB2, 0xA1, // seq_no
        0,                      // sender ""
        0,                      // addressee ""
    };
    EXPECT_EQ(Take(c.BuildRequest(memory)), expected);
    EXPECT_EQ(c.seq_no, 0xA1B2C3D4u);
    // Consecutive requests carry consecutive numbers, wrapping around.
    Command a(1), b(2);
    SetNextSequenceNumber(0xFFFFFFFF);
    Bytes ma = Take(a.BuildRequest(memory)), mb = Take(b.BuildRequest(memory));
    EXPECT_EQ(le::Load32(ma.data() + msg::kOffSeqNo), 0xFFFFFFFFu);
    EXPECT_EQ(le::Load32(mb.data() + msg::kOffSeqNo), 0u);
    EXPECT_EQ(b.seq_no, 0u);
}

TEST(Command, RequestWithOneParameterPacksTo67Bytes) {
    TestMemory memory;
    Command c(0x73124533);
    c.SetReturnAddr("ProcMgr");
    c.SetTargetAddr("KAVMonitorClientNC"); // 18 characters, 19 bytes
    const uint8_t since[4] = {0x78, 0x56, 0x34, 0x12};
    ASSERT_TRUE(c.AddParam(since, 4));
    SetNextSequenceNumber(5);
    Bytes expected = {
        67,   0,    0,    0,    // msg_len = 32 + 8 + 19 + 4 + 4
        32,   0,    0,    0,    // hdr_len, request, tag
        8,    0,    32,   0,    // sender_len, sender_off
        19,   0,    40,   0,    // addressee_len, addressee_off
        0,    0,                // reserved
        0x33, 0x45, 0x12, 0x73, // cmd_code
        1,    0,                // item_count
        59,   0,                // size_table_off
        63,   0,                // data_off
        5,    0,    0,    0,    // seq_no
    };
    const std::string strings("ProcMgr\0KAVMonitorClientNC", 27); // with both terminators
    expected.insert(expected.end(), strings.begin(), strings.end());
    expected.insert(expected.end(), {4, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}); // size, parameter
    ASSERT_EQ(expected.size(), 67u);
    EXPECT_EQ(Take(c.BuildRequest(memory)), expected);
}

// A request read back swaps its addresses; the reply built from it carries status, items and
// tag back to the sender, and leaves the sender's code alone. A reply with another sequence
// number, or a request, is no reply; a reply is no request; either way the command is reset.
TEST(Command, RequestAndReplyRoundTripAndRefusals) {
    TestMemory memory;
    Command out(0x73124534);
    out.SetReturnAddr("pmconsole-12");
    out.SetTargetAddr("ProcMgr");
    out.tag = 0x5A;
    out.AddParam("abc", 4);
    out.AddParam(nullptr, 0);
    Bytes request = Take(out.BuildRequest(memory));
    Command in;
    ASSERT_EQ(in.ParseRequest(request.data(), request.size()), 1);
    EXPECT_EQ(in.cmd_code, 0x73124534u);
    EXPECT_EQ(in.seq_no, out.seq_no);
    EXPECT_EQ(in.tag, 0x5Au);
    EXPECT_STREQ(in.GetReturnAddr(), "ProcMgr");
    EXPECT_STREQ(in.GetTargetAddr(), "pmconsole-12");
    ASSERT_EQ(in.GetParamCount(), 2u);
    EXPECT_EQ(in.GetParamSize(0), 4u);
    EXPECT_STREQ(reinterpret_cast<const char*>(in.GetParam(0)), "abc");
    EXPECT_EQ(in.GetParamSize(1), 0u);
    EXPECT_NE(in.GetParam(1), nullptr); // an empty block still has an address

    in.tag = 7;
    in.status = -2;
    in.AddResult("xyz", 3);
    Bytes reply = Take(in.BuildReply(memory));
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(reply[msg::kOffType], msg::kTypeReply);
    ASSERT_EQ(out.ParseReply(reply.data(), reply.size()), 1);
    EXPECT_EQ(out.status, -2);
    EXPECT_EQ(out.tag, 7u);
    EXPECT_STREQ(out.GetReturnAddr(), "pmconsole-12");
    EXPECT_STREQ(out.GetTargetAddr(), "ProcMgr");
    ASSERT_EQ(out.GetResultCount(), 1u);
    EXPECT_EQ(std::memcmp(out.GetResult(0), "xyz", 3), 0);
    EXPECT_EQ(out.cmd_code, 0x73124534u);

    EXPECT_EQ(out.ParseReply(request.data(), request.size()), 0); // same number, a request
    ++out.seq_no;
    out.AddResult("old", 3);
    out.status = 9;
    EXPECT_EQ(out.ParseReply(reply.data(), reply.size()), 0);
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.GetResultCount(), 0u);
    in.flags = 1;
    in.timeout_ms = 3;
    EXPECT_EQ(in.ParseRequest(reply.data(), reply.size()), 0);
    EXPECT_EQ(in.cmd_code, 0u);
    EXPECT_EQ(in.flags, 0u);
    EXPECT_EQ(in.timeout_ms, 15000u);
    EXPECT_EQ(in.GetParamCount(), 0u);
}

// A message the header check refuses (its one item a byte longer than the message) parses as
// neither, and leaves nothing of what either command held before.
TEST(Command, RefusedMessagesLeaveBothParsersEmpty) {
    TestMemory memory;
    Command out(0x73124534);
    out.SetReturnAddr("a");
    out.SetTargetAddr("b");
    out.AddParam("12", 2);
    Bytes m = Take(out.BuildRequest(memory));
    ASSERT_FALSE(m.empty());
    le::Store32(m.data() + le::Load16(m.data() + msg::kOffSizeTableOff), 3);
    Command request;
    request.AddParam("old", 3);
    request.cmd_code = 5;
    EXPECT_EQ(request.ParseRequest(m.data(), m.size()), 0);
    EXPECT_EQ(request.GetParamCount(), 0u);
    EXPECT_EQ(request.cmd_code, 0u);
    m[msg::kOffType] = msg::kTypeReply;
    Command reply;
    reply.seq_no = out.seq_no;
    reply.AddResult("old", 3);
    reply.status = 9;
    EXPECT_EQ(reply.ParseReply(m.data(), m.size()), 0);
    EXPECT_EQ(reply.GetResultCount(), 0u);
    EXPECT_EQ(reply.status, 0);
}

// Plain and authorization commands mark their types; a failed allocation answers null.
TEST(Command, MessageTypesAndAllocationFailure) {
    TestMemory memory;
    Command plain(1);
    SendAuthorizationCommand auth(1);
    auto type = [](void* m) { return m ? static_cast<uint8_t*>(m)[msg::kOffType] : -1; };
    EXPECT_EQ(type(plain.BuildRequest(memory)), msg::kTypeRequest);
    EXPECT_EQ(type(plain.BuildReply(memory)), msg::kTypeReply);
    EXPECT_EQ(type(auth.BuildRequest(memory)), msg::kTypeAuthRequest);
    EXPECT_EQ(type(auth.BuildReply(memory)), msg::kTypeAuthReply);
    memory.fail = true;
    EXPECT_EQ(plain.BuildRequest(memory), nullptr);
    EXPECT_EQ(plain.BuildReply(memory), nullptr);
}

// Offsets and counts are 16 bits wide: what cannot be represented is refused, not truncated.
TEST(Command, PackingLimits) {
    TestMemory memory;
    // Header + sender (1) + addressee (1) + 4 x items must end below 65536.
    // (65535 - 34) / 4 = 16375 items fit; one more does not.
    Command many;
    for (int i = 0; i < 16375; ++i)
        many.AddResultTakeOver(std::malloc(1), 0);
    Bytes m = Take(many.BuildReply(memory));
    ASSERT_FALSE(m.empty());
    EXPECT_EQ(le::Load16(m.data() + msg::kOffDataOff), 34u + 4u * 16375u);
    many.AddResultTakeOver(std::malloc(1), 0);
    EXPECT_EQ(many.BuildReply(memory), nullptr);

    // An address of 65535 bytes with its terminator does not leave room for the rest; one that
    // puts data_off at 65535 fits; one byte more puts it at 0x10000, which 16 bits write as 0.
    Command c;
    c.SetTargetAddr(std::string(65534, 'n').c_str());
    EXPECT_EQ(c.BuildRequest(memory), nullptr);
    c.SetTargetAddr(std::string(65535 - 34, 'n').c_str());
    m = Take(c.BuildRequest(memory));
    ASSERT_FALSE(m.empty());
    EXPECT_EQ(le::Load16(m.data() + msg::kOffDataOff), 65535u);
    c.SetTargetAddr(std::string(65535 - 34 + 1, 'n').c_str());
    EXPECT_EQ(c.BuildRequest(memory), nullptr);

    // Large items are fine: only offsets are 16 bits.
    Command big;
    std::vector<uint8_t> item(200000, 0xAB);
    big.AddResult(item.data(), static_cast<uint32_t>(item.size()));
    m = Take(big.BuildReply(memory));
    Command back;
    back.seq_no = big.seq_no;
    ASSERT_EQ(back.ParseReply(m.data(), m.size()), 1);
    EXPECT_EQ(back.GetResultSize(0), 200000u);
    EXPECT_EQ(PackedMessageSize(nullptr, nullptr, BlockList{}), 34u);
}

// A 4-byte parameter reads little-endian; longer ones read their first four bytes; missing or
// short ones fail and leave the caller's value alone. Out-of-range indexes answer null and 0,
// taken-over blocks are kept (and freed by the command: ASan reports a leak or a double free
// otherwise), addresses are copies and null clears them.
TEST(Command, Accessors) {
    Command c;
    const uint8_t four[] = {0x78, 0x56, 0x34, 0x12}, five[] = {0xFF, 0xFF, 0xFF, 0xFF, 1};
    ASSERT_TRUE(c.AddParam(four, 4));
    ASSERT_TRUE(c.AddParam(five, 5));
    ASSERT_TRUE(c.AddParam(four, 3));
    ASSERT_TRUE(c.AddParam(nullptr, 0));
    const uint32_t untouched = 0xA5A5A5A5u;
    const std::pair<size_t, uint32_t> cases[] = {
        {0, 0x12345678u}, {1, 0xFFFFFFFFu}, {2, untouched},
        {3, untouched},   {4, untouched},   {size_t(-1), untouched},
    };
    for (const auto& [index, value] : cases) {
        uint32_t v = untouched;
        EXPECT_EQ(c.ParamU32(index, &v), value != untouched) << index;
        EXPECT_EQ(v, value) << index;
    }
    EXPECT_EQ(c.GetParam(4), nullptr);
    EXPECT_EQ(c.GetParamSize(4), 0u);
    c.AddResult("bc", 2);
    EXPECT_EQ(c.GetResult(1), nullptr);
    EXPECT_EQ(c.GetResultSize(5), 0u);
    EXPECT_EQ(c.GetResultSize(0), 2u);
    void* block = std::malloc(8);
    void* param = std::malloc(2);
    c.AddResultTakeOver(block, 8);
    c.AddParamTakeOver(param, 2);
    EXPECT_EQ(c.GetResult(1), block);
    EXPECT_EQ(c.GetParam(4), param);

    char name[] = "ProcMgr";
    c.SetTargetAddr(name);
    name[0] = 'X';
    EXPECT_STREQ(c.GetTargetAddr(), "ProcMgr");
    c.SetTargetAddr(nullptr);
    EXPECT_EQ(c.GetTargetAddr(), nullptr);
}

} // namespace
} // namespace pm
