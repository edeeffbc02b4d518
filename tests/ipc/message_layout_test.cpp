// Header checks the library routes by: byte layout, boundaries and every refusal.
#include <gtest/gtest.h>

#include "shared/ipc/message_layout.h"
#include "tests/ipc/test_message.h"

using namespace kavipc;
using kavipc_test::BuildMessage;
using kavipc_test::MessageSpec;

TEST(MessageLayoutTest, HandBuiltBytesAreRead) {
    // 32-byte header, sender "A", addressee "Bc"
    const uint8_t m[] = {
        37,  0,   0,  0, // msg_len 37
        32,  0,          // hdr_len
        1,               // type: reply
        9,               // tag
        2,   0,   32, 0, // sender_len 2 at 32
        3,   0,   34, 0, // addressee_len 3 at 34
        0,   0,          // reserved
        0,   0,   0,  0, // value
        0,   0,          // item_count
        37,  0,   37, 0, // size_table_off, data_off
        1,   0,   0,  0, // seq_no
        'A', 0,          // sender
        'B', 'c', 0,     // addressee
    };
    HeaderInfo info;
    ASSERT_EQ(CheckHeader(m, sizeof m, &info), HeaderCheck::kOk);
    EXPECT_EQ(info.addressee, "Bc");
    EXPECT_EQ(info.type, 1);
    // msg_len may be shorter than the buffer
    std::vector<uint8_t> longer(m, m + sizeof m);
    longer.resize(longer.size() + 100, 0xEE);
    EXPECT_EQ(CheckHeader(longer.data(), longer.size(), nullptr), HeaderCheck::kOk);
}

struct BadCase {
    const char* what;
    size_t offset;
    std::vector<uint8_t> bytes; // written at offset
    int truncate;               // bytes cut off the end (after writing)
    HeaderCheck expected;
};

class MessageLayoutBadTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(MessageLayoutBadTest, IsRefused) {
    const BadCase& c = GetParam();
    std::vector<uint8_t> m = BuildMessage({}); // sender "Console"(8) addressee "ProcMgr"(8)
    for (size_t i = 0; i < c.bytes.size(); ++i)
        m[c.offset + i] = c.bytes[i];
    m.resize(m.size() - static_cast<size_t>(c.truncate));
    HeaderInfo info;
    info.addressee = "untouched";
    EXPECT_EQ(CheckHeader(m.data(), m.size(), &info), c.expected) << c.what;
    EXPECT_EQ(info.addressee, "untouched");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MessageLayoutBadTest,
    ::testing::Values(
        BadCase{"msg_len below the header", 0, {31, 0, 0, 0}, 0, HeaderCheck::kTooShort},
        BadCase{"msg_len zero", 0, {0, 0, 0, 0}, 0, HeaderCheck::kTooShort},
        BadCase{"buffer shorter than msg_len", 0, {}, 1, HeaderCheck::kLengthMismatch},
        BadCase{"msg_len huge", 0, {0xFF, 0xFF, 0xFF, 0xFF}, 0, HeaderCheck::kLengthMismatch},
        BadCase{"hdr_len 31", 4, {31, 0}, 0, HeaderCheck::kBadHeaderLength},
        BadCase{"addressee_len 0", 12, {0, 0}, 0, HeaderCheck::kBadAddressee},
        BadCase{"addressee_len 1 (empty name)", 12, {1, 0}, 0, HeaderCheck::kBadAddressee},
        BadCase{"addressee past msg_len", 12, {9, 0}, 0, HeaderCheck::kBadAddressee},
        BadCase{"addressee inside the header", 14, {16, 0}, 0, HeaderCheck::kBadAddressee},
        BadCase{"addressee not terminated", 47, {'X'}, 0, HeaderCheck::kBadAddressee},
        BadCase{"addressee with a backslash", 40, {'\\'}, 0, HeaderCheck::kBadName},
        BadCase{"addressee with a control byte", 40, {0x07}, 0, HeaderCheck::kBadName},
        BadCase{"addressee starts with NUL", 40, {0}, 0, HeaderCheck::kBadName}));

TEST(MessageLayoutTest, TooShortBuffersAndNull) {
    std::vector<uint8_t> m = BuildMessage({});
    for (size_t n = 0; n < kHeaderSize; ++n) {
        EXPECT_EQ(CheckHeader(m.data(), n, nullptr), HeaderCheck::kTooShort) << n;
    }
    EXPECT_EQ(CheckHeader(nullptr, 100, nullptr), HeaderCheck::kTooShort);
}

TEST(MessageLayoutTest, NodeNames) {
    EXPECT_TRUE(IsValidNodeName("ProcMgr"));
    EXPECT_TRUE(IsValidNodeName("KAVMonitorClientNC"));
    EXPECT_TRUE(IsValidNodeName(std::string(kMaxNodeName, 'a').c_str()));
    EXPECT_FALSE(IsValidNodeName(std::string(kMaxNodeName + 1, 'a').c_str()));
    EXPECT_FALSE(IsValidNodeName(""));
    EXPECT_FALSE(IsValidNodeName(nullptr));
    EXPECT_FALSE(IsValidNodeName("a\\b"));
    EXPECT_FALSE(IsValidNodeName("a/b"));
    EXPECT_FALSE(IsValidNodeName("tab\there"));
    EXPECT_FALSE(IsValidNodeName("\xC4pfel"));
}
