// The wire layout of a message between service nodes: a 32-byte header, the sender and addressee
// strings, a table of item sizes and the item bytes. Integers are little-endian, unaligned.
// Portable: no OS code here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "shared/ipc/message_layout.h"

namespace pm::msg {

// The header's fields, types and limits are the messaging library's (shared/ipc): one
// definition for both sides. This file adds the node's checked view of a received message.
using namespace kavipc::layout;

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

    [[nodiscard]] uint32_t ItemSize(uint16_t i) const {
        return pm::le::Load32(size_table + 4u * i);
    }
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
