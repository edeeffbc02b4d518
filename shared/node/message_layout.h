// The wire layout of a message between service nodes: a 32-byte header, the sender and addressee
// strings, a table of item sizes and the item bytes. Integers are little-endian, unaligned.
// Portable: no OS code here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "shared/ipc/message_layout.h"

namespace pm::msg {

// The header's fields, types and limits, its check and the checked view of a message are the
// messaging library's (shared/ipc): one definition for both sides. A node checks what it reads
// with kavipc::CheckHeader(..., AddresseeRule::kAnyString, ...): it does not route by the
// addressee.
using namespace kavipc::layout;
using kavipc::AddresseeRule;
using kavipc::CheckHeader;
using kavipc::HeaderCheck;
using kavipc::MessageView;

// Reads only the declared length, for callers that know no better size than the message's own.
// Answers 0 when the pointer is null.
[[nodiscard]] inline uint32_t DeclaredLength(const void* message) {
    return message ? le::Load32(static_cast<const uint8_t*>(message) + kOffMsgLen) : 0;
}

} // namespace pm::msg
