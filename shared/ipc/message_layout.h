// The message header the library routes by. Portable: no OS code here.
//
// | Off | Size | Field          |
// |-----|------|----------------|
// | 0   | 4    | msg_len        |
// | 4   | 2    | hdr_len (32)   |
// | 6   | 1    | msg_type       |
// | 7   | 1    | tag            |
// | 8   | 2    | sender_len     |
// | 10  | 2    | sender_off     |
// | 12  | 2    | addressee_len  |
// | 14  | 2    | addressee_off  |
// | 16  | 2    | reserved       |
// | 18  | 4    | value          |
// | 22  | 2    | item_count     |
// | 24  | 2    | size_table_off |
// | 26  | 2    | data_off       |
// | 28  | 4    | seq_no         |
#pragma once

#include <cstddef>
#include <cstdint>

#include "shared/base/endian.h"

namespace kavipc {

namespace le = pm::le;

// The one description of the header, for the library and every node.
inline namespace layout {
constexpr size_t kHeaderSize = 32;
constexpr size_t kOffMsgLen = 0;        // 4: total length
constexpr size_t kOffHdrLen = 4;        // 2: 32
constexpr size_t kOffType = 6;          // 1: bit 0 set means a reply
constexpr size_t kOffTag = 7;           // 1: echoed from request to reply
constexpr size_t kOffSenderLen = 8;     // 2: with terminator
constexpr size_t kOffSenderOff = 10;    // 2
constexpr size_t kOffAddresseeLen = 12; // 2: with terminator
constexpr size_t kOffAddresseeOff = 14; // 2
constexpr size_t kOffReserved = 16;     // 2: 0
constexpr size_t kOffValue = 18;        // 4: code (request) or status (reply)
constexpr size_t kOffItemCount = 22;    // 2
constexpr size_t kOffSizeTableOff = 24; // 2
constexpr size_t kOffDataOff = 26;      // 2
constexpr size_t kOffSeqNo = 28;        // 4

// Message types.
constexpr uint8_t kTypeRequest = 0;
constexpr uint8_t kTypeReply = 1;
constexpr uint8_t kTypeAuthRequest = 2;
constexpr uint8_t kTypeAuthReply = 3;
constexpr uint8_t kTypeAckRequest = 4;
constexpr uint8_t kReplyBit = 1;

// Offsets and counts are 16 bits wide: the header, both strings and the size table must end
// below this offset.
constexpr uint32_t kOffsetLimit = 0x10000;
constexpr uint32_t kMaxItems = 0xFFFF;

// Longest node name the library accepts (without the terminator); keeps pipe names short.
constexpr size_t kMaxNodeName = 200;
} // namespace layout

enum class HeaderCheck {
    kOk,
    kTooShort,        // fewer than 32 bytes, or msg_len below 32
    kLengthMismatch,  // msg_len larger than the bytes that are there
    kBadHeaderLength, // hdr_len is not 32
    kBadAddressee,    // addressee outside the message, empty or not NUL-terminated
    kBadName,         // addressee is not a usable node name (AddresseeRule::kNodeName only)
    kBadSender,       // sender outside the message, empty or not NUL-terminated
    kBadItems,        // size table or item bytes outside the message
};

// What the addressee must be besides a NUL-terminated string inside the message.
enum class AddresseeRule {
    // A node name (IsValidNodeName; read up to its first NUL): the library routes by it, to a
    // pipe named after it.
    kNodeName,
    // Any terminated string, even an empty one: a node that reads a message (or a gate that
    // holds it against a subject) does not route by the addressee.
    kAnyString,
};

// A checked message: every offset, length and count lies inside msg_len. The pointers point
// into the message.
struct MessageView {
    const uint8_t* base = nullptr;
    uint32_t msg_len = 0;
    uint8_t type = 0;
    uint8_t tag = 0;
    uint32_t value = 0;
    uint32_t seq_no = 0;
    const char* sender = nullptr; // NUL-terminated within sender_len
    uint16_t sender_len = 0;
    const char* addressee = nullptr; // NUL-terminated within addressee_len
    uint16_t addressee_len = 0;
    uint16_t item_count = 0;
    const uint8_t* size_table = nullptr;
    const uint8_t* data = nullptr;

    [[nodiscard]] uint32_t ItemSize(uint16_t i) const { return le::Load32(size_table + 4u * i); }
};

// The one check of a message held in `size` bytes at `data`, for the library and every node:
// msg_len lies in 32..size, hdr_len is 32, both strings lie inside msg_len at or after the
// header and end with their NUL, the addressee obeys `rule`, and the size table and the items
// lie inside msg_len. Bytes after msg_len are not looked at: a block may be longer than its
// message. Where a message must fill its bytes exactly (a frame off the pipe, a gate's
// payload), the caller compares view.msg_len with its size. Fills `view` (if given) only on kOk.
HeaderCheck CheckHeader(const void* data, size_t size, AddresseeRule rule, MessageView* view);

// A node name the library can register and address: 1..kMaxNodeName printable ASCII bytes
// other than '\\' and '/' (they would nest in the pipe namespace).
bool IsValidNodeName(const char* name);
bool IsValidNodeName(const char* name, size_t len);

const char* HeaderCheckText(HeaderCheck check);

} // namespace kavipc
