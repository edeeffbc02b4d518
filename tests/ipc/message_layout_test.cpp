// The one check of a message header, for the library and every node: byte layout, each field's
// bound (the last value accepted, the first refused) and both addressee rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "shared/ipc/message_layout.h"
#include "tests/ipc/test_message.h"

using namespace kavipc;
using kavipc_test::BuildMessage;
using kavipc_test::MessageSpec;

using Bytes = std::vector<uint8_t>;

TEST(MessageLayoutTest, HandBuiltBytesAreRead) {
    // 32-byte header, sender "A", addressee "Bc", one item of 2 bytes
    const uint8_t m[] = {
        43,  0,   0,  0, // msg_len 43
        32,  0,          // hdr_len
        1,               // type: reply
        9,               // tag
        2,   0,   32, 0, // sender_len 2 at 32
        3,   0,   34, 0, // addressee_len 3 at 34
        0,   0,          // reserved
        5,   6,   7,  8, // value
        1,   0,          // item_count
        37,  0,   41, 0, // size_table_off, data_off
        1,   0,   0,  0, // seq_no
        'A', 0,          // sender
        'B', 'c', 0,     // addressee
        2,   0,   0,  0, // size of item 0
        'x', 'y',        // item 0
    };
    MessageView v;
    ASSERT_EQ(CheckHeader(m, sizeof m, AddresseeRule::kNodeName, &v), HeaderCheck::kOk);
    EXPECT_EQ(v.base, m);
    EXPECT_EQ(v.msg_len, 43u);
    EXPECT_EQ(v.type, 1);
    EXPECT_EQ(v.tag, 9);
    EXPECT_EQ(v.value, 0x08070605u);
    EXPECT_EQ(v.seq_no, 1u);
    EXPECT_EQ(v.sender, reinterpret_cast<const char*>(m + 32));
    EXPECT_EQ(v.sender_len, 2);
    EXPECT_EQ(v.addressee, reinterpret_cast<const char*>(m + 34));
    EXPECT_EQ(v.addressee_len, 3);
    EXPECT_EQ(v.item_count, 1);
    EXPECT_EQ(v.size_table, m + 37);
    EXPECT_EQ(v.ItemSize(0), 2u);
    EXPECT_EQ(v.data, m + 41);
    // msg_len may be shorter than the buffer; the bytes after it are not read
    Bytes longer(m, m + sizeof m);
    longer.resize(longer.size() + 100, 0xEE);
    EXPECT_EQ(CheckHeader(longer.data(), longer.size(), AddresseeRule::kNodeName, nullptr),
              HeaderCheck::kOk);
}

struct Case {
    const char* what;
    bool items; // the message with two items (2 and 3 bytes) instead of none
    std::function<void(Bytes&)> change;
    AddresseeRule rule;
    HeaderCheck expected;
};

// Without items: sender "Console" (8 bytes) at 32, addressee "ProcMgr" (8) at 40, size table
// and items at 48 = msg_len. With items: the size table at 48, the items at 56, msg_len 61.
Bytes Message(bool items) {
    MessageSpec s;
    if (items) s.items = {{'1', '2'}, {'3', '4', '5'}};
    return BuildMessage(s);
}

class MessageLayoutBoundTest : public ::testing::TestWithParam<Case> {};

TEST_P(MessageLayoutBoundTest, IsCheckedAtItsBound) {
    const Case& c = GetParam();
    Bytes m = Message(c.items);
    c.change(m);
    MessageView v;
    v.msg_len = 12345;
    const HeaderCheck got = CheckHeader(m.data(), m.size(), c.rule, &v);
    EXPECT_EQ(got, c.expected) << c.what << ": " << HeaderCheckText(got);
    if (c.expected != HeaderCheck::kOk) {
        EXPECT_EQ(v.msg_len, 12345u) << "the view was filled";
    }
}

using Change = std::function<void(Bytes&)>;

Change Set16(size_t field, uint16_t value) {
    return [=](Bytes& m) { le::Store16(&m[field], value); };
}

// Moves a string: its length field is `field`, its offset field the next. With `pad`, a zero
// byte after msg_len, so that a string one byte too long still ends in a NUL inside the buffer.
Change Place(size_t field, uint16_t off, uint16_t len, bool pad = false) {
    return [=](Bytes& m) {
        if (pad) m.push_back(0);
        le::Store16(&m[field], len);
        le::Store16(&m[field + 2], off);
    };
}

// Moves the size table of the message with items to `table`, its sizes read as 0 from there
// (zeroed, and zero bytes after msg_len), the items empty at msg_len.
Change Table(uint16_t table) {
    return [=](Bytes& m) {
        m.resize(m.size() + 8, 0);
        std::fill(m.begin() + 53, m.begin() + 61, 0);
        le::Store16(&m[kOffSizeTableOff], table);
        le::Store16(&m[kOffDataOff], 61);
    };
}

constexpr auto kName = AddresseeRule::kNodeName;
constexpr auto kAny = AddresseeRule::kAnyString;
constexpr size_t kSender = kOffSenderLen;
constexpr size_t kAddressee = kOffAddresseeLen;

const Case kCases[] = {
    {"as built", false, [](Bytes&) {}, kName, HeaderCheck::kOk},
    {"as built, with items", true, [](Bytes&) {}, kName, HeaderCheck::kOk},
    // msg_len and the buffer
    {"msg_len 32 passes the length checks", false, [](Bytes& m) { le::Store32(&m[0], 32); }, kName,
     HeaderCheck::kBadAddressee},
    {"msg_len 31", false, [](Bytes& m) { le::Store32(&m[0], 31); }, kName, HeaderCheck::kTooShort},
    {"buffer one byte short of msg_len", false, [](Bytes& m) { m.pop_back(); }, kName,
     HeaderCheck::kLengthMismatch},
    {"msg_len huge", false, [](Bytes& m) { le::Store32(&m[0], 0xFFFFFFFF); }, kName,
     HeaderCheck::kLengthMismatch},
    {"hdr_len 31", false, Set16(kOffHdrLen, 31), kName, HeaderCheck::kBadHeaderLength},
    {"hdr_len 33", false, Set16(kOffHdrLen, 33), kName, HeaderCheck::kBadHeaderLength},
    // The addressee: where it lies
    {"addressee_len 0", false, Set16(kAddressee, 0), kAny, HeaderCheck::kBadAddressee},
    {"addressee ends one byte past msg_len", false, Place(kAddressee, 40, 9, true), kAny,
     HeaderCheck::kBadAddressee},
    {"addressee right after the header", false, Place(kAddressee, 32, 8), kName, HeaderCheck::kOk},
    {"addressee starts one byte inside the header", false, Place(kAddressee, 31, 9), kAny,
     HeaderCheck::kBadAddressee},
    {"addressee not terminated", false, [](Bytes& m) { m[47] = 'X'; }, kAny,
     HeaderCheck::kBadAddressee},
    // The addressee: what it holds, by each rule
    {"empty addressee, as a node name", false, Place(kAddressee, 47, 1), kName,
     HeaderCheck::kBadAddressee},
    {"empty addressee, as any string", false, Place(kAddressee, 47, 1), kAny, HeaderCheck::kOk},
    {"addressee read to its first NUL", false, [](Bytes& m) { m[42] = 0; }, kName,
     HeaderCheck::kOk},
    {"addressee with a backslash", false, [](Bytes& m) { m[41] = '\\'; }, kName,
     HeaderCheck::kBadName},
    {"addressee with a backslash, as any string", false, [](Bytes& m) { m[41] = '\\'; }, kAny,
     HeaderCheck::kOk},
    // The sender
    {"sender_len 0", false, Set16(kSender, 0), kAny, HeaderCheck::kBadSender},
    {"empty sender", false, Place(kSender, 39, 1), kName, HeaderCheck::kOk},
    {"sender ends at msg_len", false, Place(kSender, 40, 8), kName, HeaderCheck::kOk},
    {"sender ends one byte past msg_len", false, Place(kSender, 40, 9, true), kName,
     HeaderCheck::kBadSender},
    {"sender starts one byte inside the header", false, Place(kSender, 31, 9), kName,
     HeaderCheck::kBadSender},
    {"sender not terminated", false, [](Bytes& m) { m[39] = 'x'; }, kName, HeaderCheck::kBadSender},
    // The size table and the items
    {"no items, size table one byte past msg_len", false, Set16(kOffSizeTableOff, 49), kName,
     HeaderCheck::kBadItems},
    {"no items, items one byte past msg_len", false, Set16(kOffDataOff, 49), kName,
     HeaderCheck::kBadItems},
    {"acknowledgement: both offsets 0", false,
     [](Bytes& m) { le::Store32(&m[kOffSizeTableOff], 0); }, kName, HeaderCheck::kOk},
    {"items one byte longer than the message", true, [](Bytes& m) { le::Store32(&m[52], 4); },
     kName, HeaderCheck::kBadItems},
    {"items start one byte later", true, Set16(kOffDataOff, 57), kName, HeaderCheck::kBadItems},
    {"size table ends at msg_len", true, Table(53), kName, HeaderCheck::kOk},
    {"size table ends one byte past msg_len", true, Table(54), kName, HeaderCheck::kBadItems},
    {"item_count 0xFFFF", true, Set16(kOffItemCount, 0xFFFF), kName, HeaderCheck::kBadItems},
    {"item sizes that wrap 32 bits", true, [](Bytes& m) { le::Store32(&m[48], 0xFFFFFFFF); }, kName,
     HeaderCheck::kBadItems},
};

INSTANTIATE_TEST_SUITE_P(Cases, MessageLayoutBoundTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) {
                             std::string name = info.param.what;
                             for (char& ch : name)
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

TEST(MessageLayoutTest, TooShortBuffersAndNull) {
    Bytes m = BuildMessage({});
    for (size_t n = 0; n < kHeaderSize; ++n) {
        EXPECT_EQ(CheckHeader(m.data(), n, AddresseeRule::kAnyString, nullptr),
                  HeaderCheck::kTooShort)
            << n;
    }
    EXPECT_EQ(CheckHeader(nullptr, 100, AddresseeRule::kAnyString, nullptr),
              HeaderCheck::kTooShort);
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
    EXPECT_TRUE(IsValidNodeName(" ~"));
    EXPECT_FALSE(IsValidNodeName("a\x1F"));
    EXPECT_FALSE(IsValidNodeName("a\x7F"));
    EXPECT_FALSE(IsValidNodeName("\xC4pfel"));
}
