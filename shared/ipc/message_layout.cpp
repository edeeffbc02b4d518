// Header checks for routing. Portable: no OS code here.
#include "shared/ipc/message_layout.h"

#include <cstring>

namespace kavipc {

bool IsValidNodeName(const char* name, size_t len) {
    if (name == nullptr || len == 0 || len > kMaxNodeName) return false;
    for (size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c > 0x7E || c == '\\' || c == '/') return false;
    }
    return true;
}

bool IsValidNodeName(const char* name) {
    if (name == nullptr) return false;
    // Bounded scan: a name longer than the limit is refused without reading far past it.
    size_t len = 0;
    while (len <= kMaxNodeName && name[len] != '\0')
        ++len;
    return IsValidNodeName(name, len);
}

namespace {
// A string field: inside the message, after the header, not empty, its last byte the NUL.
bool StringInside(const uint8_t* data, uint32_t msg_len, size_t off, size_t len) {
    return len >= 1 && off >= kHeaderSize && off + len <= msg_len && data[off + len - 1] == 0;
}
} // namespace

HeaderCheck CheckHeader(const void* message, size_t size, AddresseeRule rule, MessageView* view) {
    if (message == nullptr || size < kHeaderSize) return HeaderCheck::kTooShort;
    const auto* data = static_cast<const uint8_t*>(message);
    uint32_t msg_len = le::Load32(data + kOffMsgLen);
    if (msg_len < kHeaderSize) return HeaderCheck::kTooShort;
    if (msg_len > size) return HeaderCheck::kLengthMismatch;
    if (le::Load16(data + kOffHdrLen) != kHeaderSize) return HeaderCheck::kBadHeaderLength;
    const bool node_name = rule == AddresseeRule::kNodeName;
    uint16_t addressee_len = le::Load16(data + kOffAddresseeLen);
    size_t addressee_off = le::Load16(data + kOffAddresseeOff);
    // A node name has at least one byte before its NUL.
    if (addressee_len < (node_name ? 2 : 1) ||
        !StringInside(data, msg_len, addressee_off, addressee_len))
        return HeaderCheck::kBadAddressee;
    const char* addressee = reinterpret_cast<const char*>(data + addressee_off);
    if (node_name && !IsValidNodeName(addressee, strnlen(addressee, addressee_len)))
        return HeaderCheck::kBadName;
    uint16_t sender_len = le::Load16(data + kOffSenderLen);
    size_t sender_off = le::Load16(data + kOffSenderOff);
    if (!StringInside(data, msg_len, sender_off, sender_len)) return HeaderCheck::kBadSender;
    uint16_t count = le::Load16(data + kOffItemCount);
    size_t table = le::Load16(data + kOffSizeTableOff);
    size_t items = le::Load16(data + kOffDataOff);
    // Acknowledgements leave both offsets 0 (no items): only the bounds count.
    if (table + 4 * size_t{count} > msg_len || items > msg_len) return HeaderCheck::kBadItems;
    // The items lie back to back from data_off; their sizes must add up to what is left.
    uint64_t sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += le::Load32(data + table + 4 * i);
    if (sum > msg_len - items) return HeaderCheck::kBadItems;
    if (view != nullptr) {
        MessageView v;
        v.base = data;
        v.msg_len = msg_len;
        v.type = data[kOffType];
        v.tag = data[kOffTag];
        v.value = le::Load32(data + kOffValue);
        v.seq_no = le::Load32(data + kOffSeqNo);
        v.sender = reinterpret_cast<const char*>(data + sender_off);
        v.sender_len = sender_len;
        v.addressee = addressee;
        v.addressee_len = addressee_len;
        v.item_count = count;
        v.size_table = data + table;
        v.data = data + items;
        *view = v;
    }
    return HeaderCheck::kOk;
}

const char* HeaderCheckText(HeaderCheck check) {
    switch (check) {
    case HeaderCheck::kOk:
        return "ok";
    case HeaderCheck::kTooShort:
        return "too short";
    case HeaderCheck::kLengthMismatch:
        return "msg_len beyond the buffer";
    case HeaderCheck::kBadHeaderLength:
        return "hdr_len is not 32";
    case HeaderCheck::kBadAddressee:
        return "addressee outside the message or unterminated";
    case HeaderCheck::kBadName:
        return "addressee is not a node name";
    case HeaderCheck::kBadSender:
        return "sender outside the message or unterminated";
    case HeaderCheck::kBadItems:
        return "size table or items outside the message";
    }
    return "?";
}

} // namespace kavipc
