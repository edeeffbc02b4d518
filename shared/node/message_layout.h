// The wire layout of a message between service nodes: a 32-byte header, the sender and addressee
// strings, a table of item sizes and the item bytes. Integers are little-endian, unaligned.
// Portable: no OS code here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "shared/ipc/message_layout.h"

namespace pm::msg {

// The header is the messaging library's (one definition of its fields for both sides).
constexpr uint32_t kHeaderSize = kavipc::kHeaderSize;

// Header field offsets.
constexpr size_t kMsgLen = kavipc::kOffMsgLen;             // 4: total length
constexpr size_t kHdrLen = kavipc::kOffHdrLen;             // 2: 32
constexpr size_t kType = kavipc::kOffType;                 // 1: bit 0 set means a reply
constexpr size_t kTag = kavipc::kOffTag;                   // 1
constexpr size_t kSenderLen = kavipc::kOffSenderLen;       // 2: with terminator
constexpr size_t kSenderOff = kavipc::kOffSenderOff;       // 2
constexpr size_t kAddresseeLen = kavipc::kOffAddresseeLen; // 2: with terminator
constexpr size_t kAddresseeOff = kavipc::kOffAddresseeOff; // 2
constexpr size_t kReserved = 16;                           // 2: 0
constexpr size_t kValue = kavipc::kOffValue;               // 4: code (request) or status (reply)
constexpr size_t kItemCount = kavipc::kOffItemCount;       // 2
constexpr size_t kSizeTableOff = kavipc::kOffSizeTableOff; // 2
constexpr size_t kDataOff = kavipc::kOffDataOff;           // 2
constexpr size_t kSeqNo = kavipc::kOffSeqNo;               // 4

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

inline uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void Put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// A received message whose every offset, length and count was checked against its real size.
// The pointers point into the message.
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

    [[nodiscard]] uint32_t ItemSize(uint16_t i) const { return Get32(size_table + 4u * i); }
};

// Checks the message held in `available` bytes; on success fills `view` and answers true.
// msg_len must not exceed `available`; hdr_len must be 32; both strings must lie inside msg_len
// after the header and end with their NUL; the size table and the items must lie inside it.
// These are the messaging library's rules too (its CheckHeader adds only that the addressee
// is a node name it can route to).
[[nodiscard]] bool ValidateMessage(const void* message, size_t available, MessageView& view);

// Reads only the declared length, for callers that know no better size than the message's own.
// Answers 0 when the pointer is null.
[[nodiscard]] uint32_t DeclaredLength(const void* message);

} // namespace pm::msg
