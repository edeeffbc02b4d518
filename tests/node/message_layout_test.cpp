#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "shared/node/command.h"
#include "shared/node/message_layout.h"
#include "test_memory.h"

namespace pm {
namespace {

using Bytes = std::vector<uint8_t>;

// A valid reply: sender "ab" (3), addressee "c" (2), two items of 2 and 3 bytes.
Bytes GoodMessage() {
    test::TestMemory memory;
    Command c;
    c.SetReturnAddr("ab");
    c.SetTargetAddr("c");
    c.seq_no = 42;
    c.AddResult("12", 2);
    c.AddResult("345", 3);
    auto* m = static_cast<uint8_t*>(c.BuildReply(memory));
    Bytes b(m, m + le::Load32(m));
    memory.Free(m);
    return b;
}

struct BadCase {
    const char* name;
    std::function<void(Bytes&)> spoil;
};

class MessageLayoutBad : public ::testing::TestWithParam<BadCase> {};

TEST_P(MessageLayoutBad, IsRefusedByValidationAndBothParsers) {
    Bytes b = GoodMessage();
    GetParam().spoil(b);
    const size_t available = b.size();
    msg::MessageView v;
    EXPECT_FALSE(msg::ValidateMessage(b.data(), available, v));
    Command reply;
    reply.seq_no = le::Load32(b.data() + msg::kOffSeqNo);
    EXPECT_EQ(reply.ParseReply(b.data(), available), 0);
    EXPECT_EQ(reply.GetResultCount(), 0u);
    b[msg::kOffType] = 0;
    Command request;
    EXPECT_EQ(request.ParseRequest(b.data(), available), 0);
    EXPECT_EQ(request.GetParamCount(), 0u);
}

const BadCase kBadCases[] = {
    {"shorter_than_header", [](Bytes& b) { b.resize(31); }},
    {"msg_len_beyond_buffer", [](Bytes& b) { le::Store32(b.data(), uint32_t(b.size() + 1)); }},
    {"msg_len_below_header", [](Bytes& b) { le::Store32(b.data(), 31); }},
    {"msg_len_huge", [](Bytes& b) { le::Store32(b.data(), 0xFFFFFFFF); }},
    {"hdr_len_small", [](Bytes& b) { le::Store16(b.data() + msg::kOffHdrLen, 8); }},
    {"sender_len_zero", [](Bytes& b) { le::Store16(b.data() + msg::kOffSenderLen, 0); }},
    {"sender_beyond_end", [](Bytes& b) { le::Store16(b.data() + msg::kOffSenderOff, 0xFFF0); }},
    {"sender_without_nul", [](Bytes& b) { b[34] = 'x'; }},
    {"addressee_without_nul", [](Bytes& b) { b[36] = 'x'; }},
    {"addressee_len_beyond_end",
     [](Bytes& b) { le::Store16(b.data() + msg::kOffAddresseeLen, uint32_t(b.size())); }},
    {"size_table_beyond_end",
     [](Bytes& b) { le::Store16(b.data() + msg::kOffSizeTableOff, uint32_t(b.size() - 4)); }},
    // Only the size table's own check can refuse this one: its 2 x 4 bytes end 2 bytes past
    // msg_len (inside the buffer, which is 2 bytes longer), every size read there is 0 and
    // data_off sits at the end, so a table checked at 2 bytes per item would pass.
    {"size_table_two_bytes_short",
     [](Bytes& b) {
         size_t len = b.size();
         b.resize(len + 2, 0);
         std::fill(b.begin() + static_cast<long>(len - 6), b.end(), 0);
         le::Store16(b.data() + msg::kOffSizeTableOff, uint32_t(len - 6));
         le::Store16(b.data() + msg::kOffDataOff, uint32_t(len));
     }},
    {"count_too_large", [](Bytes& b) { le::Store16(b.data() + msg::kOffItemCount, 0xFFFF); }},
    {"data_off_beyond_end",
     [](Bytes& b) { le::Store16(b.data() + msg::kOffDataOff, uint32_t(b.size() + 1)); }},
    {"item_sum_beyond_end", [](Bytes& b) { le::Store32(b.data() + 37 + 4, 4); }},
    {"item_size_overflows", [](Bytes& b) { le::Store32(b.data() + 37, 0xFFFFFFFF); }},
};

INSTANTIATE_TEST_SUITE_P(All, MessageLayoutBad, ::testing::ValuesIn(kBadCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Nothing, or no bytes, is no message; bytes after the declared length are ignored.
TEST(MessageLayout, NullZeroSizedAndExtraBytes) {
    msg::MessageView v;
    EXPECT_FALSE(msg::ValidateMessage(nullptr, 100, v));
    Bytes b = GoodMessage();
    EXPECT_FALSE(msg::ValidateMessage(b.data(), 0, v));
    EXPECT_EQ(msg::DeclaredLength(nullptr), 0u);
    const size_t len = b.size();
    b.resize(len + 10, 0xEE);
    ASSERT_TRUE(msg::ValidateMessage(b.data(), b.size(), v));
    EXPECT_EQ(v.msg_len, len);
}

} // namespace
} // namespace pm
